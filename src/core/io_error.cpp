#include "core/io_error.hpp"

#include <cerrno>
#include <cstring>
#include <type_traits>

#include "core/debug_text.hpp"

namespace core {
namespace {

struct ErrorKind {
    int code;
    const char* name;
};

// Host errno values to kind names; anything absent is "Uncategorized".
constexpr ErrorKind kKinds[] = {
    {EPERM, "PermissionDenied"},       {EACCES, "PermissionDenied"},
    {ENOENT, "NotFound"},              {EINTR, "Interrupted"},
    {E2BIG, "ArgumentListTooLong"},    {EDEADLK, "Deadlock"},
    {ENOMEM, "OutOfMemory"},           {EBUSY, "ResourceBusy"},
    {EEXIST, "AlreadyExists"},         {EXDEV, "CrossesDevices"},
    {ENOTDIR, "NotADirectory"},        {EISDIR, "IsADirectory"},
    {EINVAL, "InvalidInput"},          {ETXTBSY, "ExecutableFileBusy"},
    {EFBIG, "FileTooLarge"},           {ENOSPC, "StorageFull"},
    {ESPIPE, "NotSeekable"},           {EROFS, "ReadOnlyFilesystem"},
    {EMLINK, "TooManyLinks"},          {EPIPE, "BrokenPipe"},
    {EAGAIN, "WouldBlock"},            {EWOULDBLOCK, "WouldBlock"},
    {EADDRINUSE, "AddrInUse"},         {EADDRNOTAVAIL, "AddrNotAvailable"},
    {ENETDOWN, "NetworkDown"},         {ENETUNREACH, "NetworkUnreachable"},
    {ECONNABORTED, "ConnectionAborted"}, {ECONNRESET, "ConnectionReset"},
    {ENOTCONN, "NotConnected"},        {ETIMEDOUT, "TimedOut"},
    {ECONNREFUSED, "ConnectionRefused"}, {ELOOP, "FilesystemLoop"},
    {ENAMETOOLONG, "InvalidFilename"}, {EHOSTUNREACH, "HostUnreachable"},
    {ENOTEMPTY, "DirectoryNotEmpty"},  {EDQUOT, "FilesystemQuotaExceeded"},
    {ESTALE, "StaleNetworkFileHandle"}, {ENOSYS, "Unsupported"},
};

const char* kind_name(int code) {
    for (const ErrorKind& kind : kKinds) {
        if (kind.code == code) return kind.name;
    }
    return "Uncategorized";
}

// strerror_r comes in a GNU flavour (returns the text) and an XSI one (fills the buffer).
[[maybe_unused]] const char* error_text(int result, const char* buffer) {
    return result == 0 ? buffer : "Unknown error";
}
[[maybe_unused]] const char* error_text(const char* result, const char*) { return result; }

std::string os_message(int code) {
    char buffer[256] = {};
    return error_text(strerror_r(code, buffer, sizeof buffer), buffer);
}

}  // namespace

std::string os_error_text(int code) {
    std::string text = "Os { code: " + std::to_string(code) + ", kind: " + kind_name(code) + ", message: ";
    append_quoted(text, os_message(code));
    text += " }";
    return text;
}

std::string simple_error_text(std::string_view kind, std::string_view message) {
    std::string text = "Error { kind: ";
    text += kind;
    text += ", message: ";
    append_quoted(text, message);
    text += " }";
    return text;
}

}  // namespace core
