#!/usr/bin/env python3
"""File operations of one process in the watched tree, in a fixed order, for
the end-to-end test. Usage: file_ops.py TREE

Each step names what the plugin is to make of it; the test holds the
expected datagrams. The tree must hold existing.txt, to-renameat2.txt and
the folder sub/ beforehand.
"""
import ctypes
import os
import sys

SYS_creat = 85        # x86-64 numbers: glibc wraps creat() and rename()
SYS_renameat2 = 316   # through openat and renameat, so call them directly
AT_FDCWD = ctypes.c_long(-100)

libc = ctypes.CDLL(None, use_errno=True)
libc.syscall.restype = ctypes.c_long


def syscall(number, *args):
    """A raw system call with full-width arguments; raises on failure."""
    result = libc.syscall(ctypes.c_long(number), *args)
    if result < 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno), number)
    return result


def main():
    tree = sys.argv[1]
    os.chdir(tree)
    # Read-only open: nothing.
    os.close(os.open("existing.txt", os.O_RDONLY))
    # Read-write open of an existing file: reported.
    os.close(os.open("existing.txt", os.O_RDWR))
    # Folder opens: read-only with O_DIRECTORY, and an unnamed file opened for
    # writing (O_TMPFILE holds the O_DIRECTORY bit): nothing.
    os.close(os.open(".", os.O_RDONLY | os.O_DIRECTORY))
    os.close(os.open(".", os.O_WRONLY | os.O_TMPFILE, 0o600))
    # renameat2 with relative names from the working directory: the new name.
    syscall(SYS_renameat2, AT_FDCWD, b"to-renameat2.txt", AT_FDCWD,
            b"renamed-by-renameat2.txt", ctypes.c_long(0))
    # creat with an absolute name, then with a relative name holding "..".
    os.close(syscall(SYS_creat, os.path.join(tree, "created-by-creat.txt").encode(),
                     ctypes.c_long(0o644)))
    os.close(syscall(SYS_creat, b"sub/../creat-dotdot.txt", ctypes.c_long(0o644)))
    # openat on a real folder descriptor: a relative name cannot be completed
    # (skipped), an absolute one is reported.
    folder = os.open("sub", os.O_RDONLY | os.O_DIRECTORY)
    os.close(os.open("relative-to-dirfd.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder))
    os.close(os.open(os.path.join(tree, "absolute-beside-dirfd.txt"),
                     os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder))
    os.close(folder)


if __name__ == "__main__":
    main()
