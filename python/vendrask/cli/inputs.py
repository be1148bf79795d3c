"""Documents for the vendrask command: files, directories, lists of paths, stdin.

Which files (``selection``), how they are read (``reading``) and how the
joint size limit applies to them (``limits``) live in modules of their own;
this one gathers their names for the commands that import them from here.

Kept free of numpy so that ``vendrask measure`` starts as fast as the module.
"""
from .errors import listed  # noqa: F401
from .limits import HALF_LIMIT, _unpaired_against, over_limit, over_with_some, unpaired  # noqa: F401
from .reading import (CHUNK, STDIN, Text, _read_up_to, read, read_all, read_text,  # noqa: F401
                      scored)
from .selection import LONGEST_PATH, ONCE, Selection, _Pattern, _translate, expand  # noqa: F401
