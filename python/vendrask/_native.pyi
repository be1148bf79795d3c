from typing import Callable, Optional, Tuple

from _typeshed import ReadableBuffer, WriteableBuffer

version: str
header_version: str
static: bool
zlib_ng: bool

def batch_sizes(strings: Tuple[bytes, ...], dictionaries: ReadableBuffer, data: ReadableBuffer,
                sizes: WriteableBuffer, workers: int, progress: Optional[Callable[[int, int], object]],
                /) -> Optional[str]: ...
def quotients(k_s_e: ReadableBuffer, k_s_t: ReadableBuffer, k_t_s: ReadableBuffer, k_s_s: ReadableBuffer,
              k_t_t: ReadableBuffer, out: WriteableBuffer, /) -> Optional[str]: ...
def compressed_size(data: ReadableBuffer, dictionary: Optional[ReadableBuffer] = None, /) -> int: ...
