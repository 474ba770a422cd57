#include "errortext.h"

#include <cerrno>
#include <cstring>

const char* errorText(int errorNumber)
{
    switch (errorNumber) {
    case EPERM: return "Operation not permitted";
    case ENOENT: return "No such file or directory";
    case EINTR: return "Interrupted system call";
    case EIO: return "Input/output error";
    case ENXIO: return "No such device or address";
    case EAGAIN: return "Resource temporarily unavailable";
    case ENOMEM: return "Cannot allocate memory";
    case EACCES: return "Permission denied";
    case EBUSY: return "Device or resource busy";
    case EEXIST: return "File exists";
    case ENODEV: return "No such device";
    case ENOTDIR: return "Not a directory";
    case EISDIR: return "Is a directory";
    case EINVAL: return "Invalid argument";
    case ENFILE: return "Too many open files in system";
    case EMFILE: return "Too many open files";
    case EFBIG: return "File too large";
    case ENOSPC: return "No space left on device";
    case EROFS: return "Read-only file system";
    case EMLINK: return "Too many links";
    case ENAMETOOLONG: return "File name too long";
#ifdef ETXTBSY
    case ETXTBSY: return "Text file busy";
#endif
#ifdef ELOOP
    case ELOOP: return "Too many levels of symbolic links";
#endif
#ifdef EOVERFLOW
    case EOVERFLOW: return "Value too large for defined data type";
#endif
#ifdef EDQUOT
    case EDQUOT: return "Disk quota exceeded";
#endif
    default: return std::strerror(errorNumber);
    }
}
