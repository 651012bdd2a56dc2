"""Renames the folder that scripts/release assembled to DIR, never in place of anything there:
    place_release.py ASSEMBLED DIR
With RENAME_NOREPLACE (plain rename replaces an empty folder). On a file system without that flag the
name is claimed by mkdir, which fails on anything there, and the empty folder made is then replaced."""

import ctypes, errno, os, sys

source, target = sys.argv[1:3]
def place():
    libc = ctypes.CDLL(None, use_errno=True)
    AT_FDCWD, RENAME_NOREPLACE = -100, 1
    if libc.renameat2(AT_FDCWD, os.fsencode(source), AT_FDCWD, os.fsencode(target), RENAME_NOREPLACE) == 0:
        return 0
    error = ctypes.get_errno()
    if error not in (errno.EINVAL, errno.ENOSYS):
        return error
    try:
        os.mkdir(target)
        os.rename(source, target)
    except OSError as e:
        return e.errno
    return 0
error = place()
if error in (errno.EEXIST, errno.ENOTEMPTY):
    sys.exit(f"release: {target} appeared while the release was built; it is left as it is, and the release is not written")
if error:
    sys.exit(f"release: cannot rename the assembled folder to {target}: {os.strerror(error)}")
