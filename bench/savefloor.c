/* The floor for a batch: for each input, one after another, what a durable save
 * of it needs and nothing more. Read the file, write its bytes to a temporary file
 * beside the target, fdatasync, rename it into place.
 *
 * usage: savefloor DIR FILE...   (writes DIR/<each FILE's name>; exit status 1 on any failure)
 * POSIX only, like the rest of bench/. */
#define _POSIX_C_SOURCE 200809L
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

static char buffer[1 << 20];

static int save(const char *dir, const char *input)
{
    int in = open(input, O_RDONLY);
    if (in < 0)
        return -1;
    ssize_t size = 0, got;
    while ((got = read(in, buffer + size, sizeof buffer - (size_t)size)) > 0)
        size += got;
    close(in);
    if (got < 0)
        return -1;

    const char *slash = strrchr(input, '/');
    const char *name = slash ? slash + 1 : input;
    char target[4096], temp[4096];
    if (snprintf(target, sizeof target, "%s/%s", dir, name) >= (int)sizeof target
        || snprintf(temp, sizeof temp, "%s/%s.tmp", dir, name) >= (int)sizeof temp)
        return -1;
    int out = open(temp, O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (out < 0)
        return -1;
    int ok = write(out, buffer, (size_t)size) == size && fdatasync(out) == 0;
    ok = close(out) == 0 && ok;
    return ok && rename(temp, target) == 0 ? 0 : -1;
}

int main(int argc, char *argv[])
{
    if (argc < 3) {
        fprintf(stderr, "usage: %s DIR FILE...\n", argv[0]);
        return 2;
    }
    for (int i = 2; i < argc; ++i) {
        if (save(argv[1], argv[i]) != 0) {
            perror(argv[i]);
            return 1;
        }
    }
    return 0;
}
