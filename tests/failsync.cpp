// Preloaded into tarvik-convert by tst_cli: every sync fails, as on a disk that is dying, so that
// a save can be seen to keep the earlier file when its new contents may not have reached the disk.
#include <cerrno>

extern "C" int fsync(int)
{
    errno = EIO;
    return -1;
}

extern "C" int fdatasync(int)
{
    errno = EIO;
    return -1;
}
