/* File operations of one 32-bit process in the watched tree, in a fixed
 * order, for the end-to-end test: these reach the audit rules of arch=b32.
 * Run with the tree as working directory, holding existing.txt and
 * b32-to-rename.txt beforehand. With the single argument --probe it does
 * nothing and exits 0: whether the kernel runs 32-bit programs at all. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/syscall.h>
#include <unistd.h>

/* Closes fd, or reports which step failed. Returns 0 on success. */
static int done(long fd, char const* step)
{
    if (fd < 0) {
        perror(step);
        return 1;
    }
    close((int)fd);
    return 0;
}

int main(int argc, char** argv)
{
    if (argc == 2 && strcmp(argv[1], "--probe") == 0)
        return 0;
    int failed = 0;
    failed |= done(syscall(SYS_open, "b32-open.txt", O_WRONLY | O_CREAT | O_TRUNC, 0644), "open");
    failed |= done(syscall(SYS_open, "existing.txt", O_RDONLY), "open read-only");
    failed |= done(syscall(SYS_creat, "b32-creat.txt", 0644), "creat");
    if (syscall(SYS_rename, "b32-to-rename.txt", "b32-renamed.txt") != 0) {
        perror("rename");
        failed = 1;
    }
    failed |= done(syscall(SYS_openat, AT_FDCWD, "b32-openat.txt", O_RDWR | O_CREAT, 0644), "openat");
    return failed;
}
