#!/usr/bin/env python3
"""File operations of one process in the watched tree, in a fixed order, for
the end-to-end test.

Usage: file_ops.py TREE            the main sequence
       file_ops.py TREE --held     writes through a descriptor of TREE/sub,
                                   then holds it until standard input ends
       file_ops.py TREE --closed   writes through a descriptor of TREE/sub,
                                   closes it and ends at once

Each step names what the plugin is to make of it; the test holds the
expected datagrams. The tree must hold existing.txt, to-renameat2.txt,
to-link.txt, relative-to-dirfd.txt, the folders sub/ and unseen/ and
sub/to-rename-via-dirfd.txt beforehand.
"""
import ctypes
import os
import sys

SYS_creat = 85        # x86-64 numbers: glibc wraps creat() and rename()
SYS_renameat2 = 316   # through openat and renameat, so call them directly
SYS_openat2 = 437     # and has no wrapper for openat2
AT_FDCWD = ctypes.c_long(-100)
AT_EMPTY_PATH = 0x1000

libc = ctypes.CDLL(None, use_errno=True)
libc.syscall.restype = ctypes.c_long


class OpenHow(ctypes.Structure):
    """struct open_how of openat2."""
    _fields_ = [("flags", ctypes.c_uint64), ("mode", ctypes.c_uint64), ("resolve", ctypes.c_uint64)]


def syscall(number, *args):
    """A raw system call with full-width arguments; raises on failure."""
    result = libc.syscall(ctypes.c_long(number), *args)
    if result < 0:
        errno = ctypes.get_errno()
        raise OSError(errno, os.strerror(errno), number)
    return result


def openat2(dirfd, name, flags):
    """openat2 with the given flags, mode 0644; returns the descriptor."""
    how = OpenHow(flags, 0o644 if flags & os.O_CREAT else 0, 0)
    return syscall(SYS_openat2, ctypes.c_long(dirfd), name, ctypes.byref(how),
                   ctypes.c_size_t(ctypes.sizeof(how)))


def main_sequence(tree):
    """Every kind of call once, names relative to the cwd or absolute."""
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
    # openat on a real folder descriptor with an absolute name: reported.
    folder = os.open("sub", os.O_RDONLY | os.O_DIRECTORY)
    os.close(os.open(os.path.join(tree, "absolute-beside-dirfd.txt"),
                     os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder))
    os.close(folder)
    # A hard link: the new name, not the source.
    os.link("to-link.txt", "linked.txt")
    # An unnamed file, written, then given a name with linkat: that name.
    unnamed = os.open(".", os.O_WRONLY | os.O_TMPFILE, 0o600)
    os.write(unnamed, b"named later\n")
    if libc.linkat(unnamed, b"", -100, b"tmpfile-named.txt", AT_EMPTY_PATH) != 0:
        raise OSError(ctypes.get_errno(), "linkat")
    os.close(unnamed)
    # openat2 for writing (reported) and read-only (nothing).
    os.close(openat2(-100, b"openat2-written.txt", os.O_WRONLY | os.O_CREAT | os.O_TRUNC))
    os.close(openat2(-100, b"existing.txt", os.O_RDONLY))


def through_descriptor(held):
    """Writes through descriptors of folders that are not the cwd. Held: the
    descriptor of sub/ stays open until standard input ends, so the plugin
    finds the folder behind it. Not held: the descriptors are closed at once
    and the process ends; the test runs it while the plugin is stopped, so
    it cannot look at them. sub/ is then known from the held run; unseen/
    is not, and the file of the same name in the cwd is another one."""
    if not held:
        for name in ("unseen", "sub"):
            folder = os.open(name, os.O_RDONLY | os.O_DIRECTORY)
            os.close(os.open("relative-to-dirfd.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder))
            os.close(folder)
        return
    folder = os.open("sub", os.O_RDONLY | os.O_DIRECTORY)
    os.close(os.open("via-dirfd.txt", os.O_WRONLY | os.O_CREAT, 0o644, dir_fd=folder))
    os.rename("to-rename-via-dirfd.txt", "renamed-via-dirfd.txt", src_dir_fd=folder, dst_dir_fd=folder)
    os.link("renamed-via-dirfd.txt", "linked-via-dirfd.txt", src_dir_fd=folder, dst_dir_fd=folder)
    os.close(openat2(folder, b"openat2-via-dirfd.txt", os.O_WRONLY | os.O_CREAT))
    sys.stdin.read()
    os.close(folder)


def main():
    tree = sys.argv[1]
    os.chdir(tree)
    mode = sys.argv[2] if len(sys.argv) > 2 else ""
    if mode == "--held":
        through_descriptor(held=True)
    elif mode == "--closed":
        through_descriptor(held=False)
    else:
        main_sequence(tree)


if __name__ == "__main__":
    main()
