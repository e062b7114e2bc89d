#include "xml/WholeFile.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

namespace ambrel {

namespace {

constexpr int kCreateMode = O_RDWR | O_CREAT | O_TRUNC;

// The common open step: failure of the create-and-truncate mode is a create
// failure, every other mode an open failure.
int openFile(const char* path, int flags) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) {
        if (flags == kCreateMode) throw FileCantCreateException();
        throw FileCantOpenException();
    }
    return fd;
}

// Owns a descriptor so that every exit path closes it once. close() is not
// retried on EINTR: on Linux the descriptor is gone either way.
class OpenFile {
public:
    explicit OpenFile(int fd) : fd_(fd) {}
    ~OpenFile() {
        if (fd_ >= 0) ::close(fd_);  // error path only; the result no longer matters
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;

    int fd() const { return fd_; }
    void close() {
        const int fd = fd_;
        fd_ = -1;
        if (::close(fd) != 0) throw FileCantCloseException();
    }

private:
    int fd_;
};

}  // namespace

bool readWholeFile(const char* path, std::string& out) {
    if (!path) return false;
    try {
        struct stat st {};
        if (::stat(path, &st) != 0 || st.st_size <= 0) return false;
        if (static_cast<std::size_t>(st.st_size) > kMaxWholeFileSize) throw FileCantReadException();
        std::string data(static_cast<std::size_t>(st.st_size), '\0');
        OpenFile file(openFile(path, O_RDONLY));
        // A regular file normally arrives in one read; keep reading after a
        // short read or a signal so the result never holds unread filler, and
        // stop at end of file if the file shrank since its size was taken.
        std::size_t got = 0;
        while (got < data.size()) {
            const ssize_t n = ::read(file.fd(), data.data() + got, data.size() - got);
            if (n < 0) {
                if (errno == EINTR) continue;
                throw FileCantReadException();
            }
            if (n == 0) break;
            got += static_cast<std::size_t>(n);
        }
        file.close();
        if (got == 0) return false;
        data.resize(got);
        out.swap(data);
        return true;
    } catch (const Exception&) {
        return false;
    } catch (const std::bad_alloc&) {
        return false;
    }
}

bool readWholeFile(const std::filesystem::path& path, std::string& out) {
    return readWholeFile(path.c_str(), out);
}

bool writeWholeFile(const char* path, const void* data, std::size_t length) {
    if (!path) return false;
    try {
        OpenFile file(openFile(path, kCreateMode));
        if (data && length != 0) {
            const char* bytes = static_cast<const char*>(data);
            std::size_t done = 0;
            while (done < length) {
                const ssize_t n = ::write(file.fd(), bytes + done, length - done);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    throw FileCantWriteException();
                }
                done += static_cast<std::size_t>(n);
            }
        }
        file.close();
        return true;
    } catch (const FileException&) {
        return false;
    }
}

bool writeWholeFile(const std::filesystem::path& path, const void* data, std::size_t length) {
    return writeWholeFile(path.c_str(), data, length);
}

bool writeWholeFile(const std::filesystem::path& path, std::string_view data) {
    return writeWholeFile(path.c_str(), data.data(), data.size());
}

}  // namespace ambrel
