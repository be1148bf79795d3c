"""The package's files on disk: one way to replace a file whole, and one way
to open a file that must be a regular one.

Replacing: what is written goes to a temporary file beside the final one,
created exclusively (``O_CREAT | O_EXCL``: never through a link planted at
its name), which takes the replaced file's mode and owner, is flushed to
disk and is renamed over the final file once complete. A symbolic link is
followed and its target replaced (the link stays); a directory, device,
FIFO or socket is refused. Any exception, Ctrl-C included, removes the
temporary file, and the final file stays as it was.

A writer killed outright (SIGKILL, a crash) cannot remove its temporary
file, so each is named ``.NAME.PID.HOST.RANDOM.tmp``: the next replacement or
read of NAME removes those whose writing process, on this host, is gone.

Reading: ``open_regular`` opens only a regular file, and never waits for a
FIFO's writer: anything else is refused at once, as a device such as
/dev/zero would never end.

Kept to the standard library's lightest modules: the command's output
goes through here, and ``vendrask measure`` starts quickly.
"""
import errno
import io
import os
import stat
import zlib

LINKS_FOLLOWED = 40  # as the kernel's limit on symbolic links in a path
_NAME_MAX = 255  # bytes in one file name, on the file systems in use
# ".", ".PID" (at most 10 digits), ".HOST", ".RANDOM" and ".tmp" around NAME.
_OVERHEAD = 1 + 11 + 9 + 9 + 4
_TRIES = 100


class NotRegularFileError(OSError):
    """A path that names a device, FIFO or socket where a regular file is
    needed (a directory raises IsADirectoryError)."""

    def __str__(self):
        return f"{self.filename}: {self.strerror}" if self.filename is not None else self.strerror


class _DirectoryError(IsADirectoryError):
    def __str__(self):
        return f"{self.filename}: {self.strerror}"


def kind_of(mode):
    """What a file of st_mode ``mode`` is, for a message."""
    for test, name in ((stat.S_ISDIR, "a directory"), (stat.S_ISFIFO, "a FIFO"),
                       (stat.S_ISCHR, "a character device"), (stat.S_ISBLK, "a block device"),
                       (stat.S_ISSOCK, "a socket"), (stat.S_ISLNK, "a symbolic link")):
        if test(mode):
            return name
    return "not a regular file"


def _text(path):
    return os.fsdecode(os.fspath(path))


def _refuse_kind(path, mode, doing):
    if stat.S_ISDIR(mode):
        raise _DirectoryError(errno.EISDIR, os.strerror(errno.EISDIR), path)
    raise NotRegularFileError(errno.EINVAL, f"not a regular file (it is {kind_of(mode)}){doing}",
                              path)


def resolve(path):
    """``path`` with every symbolic link along its last part followed; a
    dangling link gives the path it points to, which a replacement creates."""
    where = _text(path)
    for _ in range(LINKS_FOLLOWED + 1):
        try:
            target = os.readlink(where)
        except OSError:  # not a link, or nothing there
            return where
        where = os.path.join(os.path.dirname(where), target)
    raise OSError(errno.ELOOP, os.strerror(errno.ELOOP), _text(path))


# ---------------------------------------------------------------- reading

def open_regular(path):
    """The regular file at ``path`` (links followed), open for reading in
    binary. Anything else is refused at once: a directory with
    IsADirectoryError, a device, FIFO or socket with NotRegularFileError,
    and neither is waited on nor read."""
    shown = _text(path)
    found = os.stat(path)  # refused before it is opened: opening a device may act
    if not stat.S_ISREG(found.st_mode):
        _refuse_kind(shown, found.st_mode, "")
    # O_NONBLOCK: a FIFO put in its place since then opens at once.
    fd = os.open(path, os.O_RDONLY | os.O_NONBLOCK | os.O_NOCTTY | os.O_CLOEXEC)
    try:
        found = os.fstat(fd)
        if not stat.S_ISREG(found.st_mode):
            _refuse_kind(shown, found.st_mode, "")
        os.set_blocking(fd, True)
        return io.open(fd, "rb")
    except BaseException:
        os.close(fd)
        raise


# ---------------------------------------------------------------- replacing

_host = None


def _host_tag():
    """8 hex digits naming this host in temporary names: a process id means
    nothing on another host sharing the folder."""
    global _host
    if _host is None:
        _host = f"{zlib.crc32(os.uname().nodename.encode('utf-8', 'surrogateescape')):08x}"
    return _host


def _stem(base):
    """The final file's name as its temporary files start with it: cut so
    that theirs fit in a file name."""
    raw = os.fsencode(base)
    return os.fsdecode(raw[:_NAME_MAX - _OVERHEAD]) if len(raw) > _NAME_MAX - _OVERHEAD else base


def _is_hex(text, digits):
    return len(text) == digits and all(c in "0123456789abcdef" for c in text)


def _alive(pid):
    """Whether process ``pid`` of this host may still be running."""
    if pid == os.getpid():
        return True
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except (OSError, OverflowError, ValueError):  # someone else's, or no real id: keep it
        return True
    return True


def stale_temporaries(final):
    """The temporary files beside ``final`` left by writers of it that are
    gone (killed before they could remove them)."""
    folder, base = os.path.split(_text(final))
    prefix = "." + _stem(base) + "."
    try:
        names = [name for name in os.listdir(folder or ".")
                 if name.startswith(prefix) and name.endswith(".tmp")]
    except OSError:
        return []
    found = []
    for name in names:
        parts = name[len(prefix):-len(".tmp")].split(".")
        if (len(parts) != 3 or not parts[0].isdigit() or len(parts[0]) > 10
                or parts[1] != _host_tag() or not _is_hex(parts[2], 8)):
            continue
        if not _alive(int(parts[0])):
            found.append(os.path.join(folder, name))
    return found


def remove_stale(final):
    """Removes what ``stale_temporaries`` finds (regular files only); quietly
    leaves what cannot be removed."""
    for path in stale_temporaries(final):
        try:
            if stat.S_ISREG(os.lstat(path).st_mode):
                os.unlink(path)
        except OSError:
            pass


def _create(final):
    """(descriptor, path) of a new temporary file beside ``final``."""
    folder, base = os.path.split(final)
    stem = _stem(base)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW | os.O_CLOEXEC
    for _ in range(_TRIES):
        temp = os.path.join(folder, f".{stem}.{os.getpid()}.{_host_tag()}.{os.urandom(4).hex()}.tmp")
        try:
            # 0o666: a new file gets what the umask (and the folder's default
            # ACL) allow, as any file this process creates.
            return os.open(temp, flags, 0o666), temp
        except FileExistsError:
            continue
    raise FileExistsError(errno.EEXIST, f"no unused temporary file name in {_TRIES} tries",
                          folder or ".")


def _existing(final, shown):
    """The os.stat_result of the file ``final`` replaces, None if there is
    none; anything but a regular file is refused."""
    try:
        found = os.lstat(final)
    except FileNotFoundError:
        return None
    if not stat.S_ISREG(found.st_mode):
        _refuse_kind(shown, found.st_mode, ": only a regular file is replaced")
    return found


class Replacement:
    """A file replaced whole: write to ``file`` (binary, buffered), then
    ``commit()``; ``discard()``, or any exception in a ``with`` block, leaves
    the old file as it was and removes the temporary one.

    The path is resolved (links followed) and checked here, before any
    work: a directory raises IsADirectoryError, a device, FIFO or socket
    NotRegularFileError, each naming ``path`` as given."""

    def __init__(self, path):
        self.path = _text(path)
        self.final = resolve(self.path)
        self.temp = self.file = None
        existing = _existing(self.final, self.path)
        remove_stale(self.final)
        fd, self.temp = _create(self.final)
        try:
            if existing is not None:  # the replaced file's owner (where allowed) and mode
                for uid, gid in ((existing.st_uid, existing.st_gid), (-1, existing.st_gid)):
                    try:
                        os.fchown(fd, uid, gid)
                        break
                    except OSError:
                        pass
                os.fchmod(fd, stat.S_IMODE(existing.st_mode))
            self.file = io.open(fd, "wb")
        except BaseException:
            os.close(fd)
            self._unlink()
            raise

    def commit(self):
        """Puts the written file in place of the final one."""
        if self.temp is None:
            raise ValueError(f"{self.path}: already committed or discarded")
        try:
            self.file.flush()
            try:
                os.fsync(self.file.fileno())
            except OSError as error:
                if error.errno != errno.EINVAL:  # a file system without fsync
                    raise
            self.file.close()
            _existing(self.final, self.path)  # something else may have been put there since
            os.replace(self.temp, self.final)
            self.temp = None
        except BaseException:
            self.discard()
            raise
        _sync_folder(os.path.dirname(self.final))

    def discard(self):
        """Removes the temporary file; the final one stays as it was."""
        if self.file is not None:
            try:
                self.file.close()
            except (OSError, ValueError):
                pass
        self._unlink()

    def _unlink(self):
        if self.temp is not None:
            try:
                os.unlink(self.temp)
            except OSError:
                pass
            self.temp = None

    def __enter__(self):
        return self

    def __exit__(self, kind, value, traceback):
        if kind is None:
            self.commit()
        else:
            self.discard()


def _sync_folder(folder):
    """Makes the rename itself durable, where the system allows."""
    try:
        fd = os.open(folder or ".", os.O_RDONLY | os.O_DIRECTORY | os.O_CLOEXEC)
    except OSError:
        return
    try:
        os.fsync(fd)
    except OSError:
        pass
    finally:
        os.close(fd)
