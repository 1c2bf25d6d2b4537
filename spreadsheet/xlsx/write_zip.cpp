// The zip file of a package: the deflated parts stored as they are, written in place through one
// buffer into the file the caller made.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <zip.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <vector>

#include "write_internal.h"

namespace ss {

namespace {

// Gives libzip a part that is deflated already: with its sizes, CRC and method stated, the
// bytes are stored as they are.
struct StoredPart {
    const xlsx::DeflatedPart* part;
    size_t piece = 0, at = 0;  // the next byte to give
};

zip_int64_t storedPartSource(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
    auto* s = static_cast<StoredPart*>(state);
    switch (cmd) {
        case ZIP_SOURCE_OPEN:
            s->piece = s->at = 0;
            return 0;
        case ZIP_SOURCE_READ: {
            const auto& pieces = s->part->pieces;
            size_t given = 0;
            while (given < len && s->piece < pieces.size()) {
                const auto& p = pieces[s->piece];
                const size_t n = std::min<size_t>(size_t(len) - given, p.size() - s->at);
                std::memcpy(static_cast<char*>(data) + given, p.data() + s->at, n);
                given += n;
                s->at += n;
                if (s->at == p.size()) ++s->piece, s->at = 0;
            }
            return zip_int64_t(given);
        }
        case ZIP_SOURCE_CLOSE:
        case ZIP_SOURCE_FREE:
            return 0;
        case ZIP_SOURCE_STAT: {
            auto* st = static_cast<zip_stat_t*>(data);
            zip_stat_init(st);
            st->valid = ZIP_STAT_SIZE | ZIP_STAT_COMP_SIZE | ZIP_STAT_CRC | ZIP_STAT_COMP_METHOD |
                        ZIP_STAT_ENCRYPTION_METHOD;
            st->size = s->part->size;
            st->comp_size = s->part->compressedSize();
            st->crc = s->part->crc;
            st->comp_method = ZIP_CM_DEFLATE;
            st->encryption_method = ZIP_EM_NONE;
            return sizeof(zip_stat_t);
        }
        case ZIP_SOURCE_ERROR: {
            auto* e = static_cast<int*>(data);
            e[0] = ZIP_ER_INTERNAL;
            e[1] = 0;
            return 2 * sizeof(int);
        }
        case ZIP_SOURCE_SUPPORTS:
            return zip_source_make_command_bitmap(ZIP_SOURCE_OPEN, ZIP_SOURCE_READ,
                                                  ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                                                  ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, -1);
        default:
            return -1;
    }
}

// The archive's destination for libzip: the file the caller made (ours alone), written in
// place. Given a path, libzip would write a file of its own beside it and rename it over the
// path; replacing a file by rename makes the file system write the new one to disk at once,
// which made every save wait for the disk (most of all a split into thousands of workbooks).
// Writes are gathered into one buffer, so a small archive is a single write.
class FileSink {
public:
    explicit FileSink(int fd) : fd_(fd) { buffer_.reserve(kBuffer); }
    int systemError() const { return sys_; }

    static zip_int64_t callback(void* state, void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        return static_cast<FileSink*>(state)->handle(data, len, cmd);
    }

private:
    static constexpr size_t kBuffer = size_t(1) << 20;

    zip_int64_t failWith(int zipError, int sys) {
        zip_error_set(&error_, zipError, sys);
        if (sys != 0 && sys_ == 0) sys_ = sys;
        return -1;
    }
    // Writes out what is gathered, at the offset where it belongs.
    bool drain() {
        size_t done = 0;
        while (done < buffer_.size()) {
            const ssize_t n =
                ::pwrite(fd_, buffer_.data() + done, buffer_.size() - done, off_t(at_ + done));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                failWith(ZIP_ER_WRITE, n < 0 ? errno : ENOSPC);
                return false;
            }
            done += size_t(n);
        }
        at_ += buffer_.size();
        buffer_.clear();
        return true;
    }

    zip_int64_t handle(void* data, zip_uint64_t len, zip_source_cmd_t cmd) {
        switch (cmd) {
            case ZIP_SOURCE_STAT:  // "no such file": the archive is made anew
                zip_error_set(&error_, ZIP_ER_READ, ENOENT);
                return -1;
            case ZIP_SOURCE_BEGIN_WRITE:
                at_ = end_ = 0;
                buffer_.clear();
                return 0;
            case ZIP_SOURCE_WRITE: {
                const auto* bytes = static_cast<const char*>(data);
                buffer_.insert(buffer_.end(), bytes, bytes + len);
                end_ = std::max(end_, at_ + buffer_.size());
                if (buffer_.size() >= kBuffer && !drain()) return -1;
                return zip_int64_t(len);
            }
            case ZIP_SOURCE_TELL_WRITE:
                return zip_int64_t(at_ + buffer_.size());
            case ZIP_SOURCE_SEEK_WRITE: {
                if (!drain()) return -1;
                const zip_int64_t to =
                    zip_source_seek_compute_offset(at_, end_, data, len, &error_);
                if (to < 0) return -1;
                at_ = uint64_t(to);
                return 0;
            }
            case ZIP_SOURCE_COMMIT_WRITE: {
                if (!drain()) return -1;
                // The file was the caller's new empty one, or is cut to the archive's size.
                struct stat st {};
                if (::fstat(fd_, &st) != 0) return failWith(ZIP_ER_WRITE, errno);
                if (uint64_t(st.st_size) > end_ && ::ftruncate(fd_, off_t(end_)) != 0)
                    return failWith(ZIP_ER_WRITE, errno);
                return 0;
            }
            case ZIP_SOURCE_ROLLBACK_WRITE:
                buffer_.clear();
                return 0;
            case ZIP_SOURCE_REMOVE:  // an archive without entries; the caller removes the file
                return 0;
            case ZIP_SOURCE_ERROR:
                return zip_error_to_data(&error_, data, len);
            case ZIP_SOURCE_FREE:
                return 0;
            case ZIP_SOURCE_SUPPORTS:
                return zip_source_make_command_bitmap(
                    ZIP_SOURCE_OPEN, ZIP_SOURCE_READ, ZIP_SOURCE_CLOSE, ZIP_SOURCE_STAT,
                    ZIP_SOURCE_ERROR, ZIP_SOURCE_FREE, ZIP_SOURCE_SEEK, ZIP_SOURCE_TELL,
                    ZIP_SOURCE_BEGIN_WRITE, ZIP_SOURCE_COMMIT_WRITE, ZIP_SOURCE_ROLLBACK_WRITE,
                    ZIP_SOURCE_WRITE, ZIP_SOURCE_SEEK_WRITE, ZIP_SOURCE_TELL_WRITE,
                    ZIP_SOURCE_REMOVE, -1);
            default:  // reading the old archive: there is none
                return failWith(ZIP_ER_OPNOTSUPP, 0);
        }
    }

    int fd_;
    std::vector<char> buffer_;
    uint64_t at_ = 0, end_ = 0;  // where the buffer goes; the archive's size so far
    int sys_ = 0;
    zip_error_t error_{};
};

Status zipFailed(const std::filesystem::path& path, int sys, const char* what) {
    if (sys == ENOSPC || sys == EDQUOT)
        return fail("无法保存 " + path.string() + "：磁盘空间不足。");
    return fail("无法保存 " + path.string() + "：" + (what ? what : "无法创建文件") + "。");
}

}  // namespace

Status writeZip(const std::filesystem::path& path, const std::vector<xlsx::DeflatedPart>& parts) {
    auto failed = [&](int sys, const char* what) { return zipFailed(path, sys, what); };
    // Not opened with O_TRUNC: the file system takes truncating a file to nothing and writing
    // it again for a file being replaced, and starts writing it to disk on close.
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) {
        const int e = errno;
        return failed(e, std::strerror(e));
    }
    struct Closer {
        int fd;
        ~Closer() {
            if (fd >= 0) ::close(fd);
        }
    } closer{fd};
    Status st = writeZipTo(fd, path, parts);
    if (!st.ok()) return st;
    const int fdDone = closer.fd;
    closer.fd = -1;
    if (::close(fdDone) != 0) {
        const int e = errno;
        return failed(e, std::strerror(e));
    }
    return okStatus();
}

Status writeZipTo(int fd, const std::filesystem::path& path,
                  const std::vector<xlsx::DeflatedPart>& parts) {
    auto failed = [&](int sys, const char* what) { return zipFailed(path, sys, what); };
    FileSink sink(fd);
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_function_create(FileSink::callback, &sink, &error);
    zip_t* z = target ? zip_open_from_source(target, ZIP_CREATE | ZIP_TRUNCATE, &error) : nullptr;
    if (!z) {
        if (target) zip_source_free(target);
        Status st = failed(zip_error_code_system(&error), zip_error_strerror(&error));
        zip_error_fini(&error);
        return st;
    }
    zip_error_fini(&error);
    auto reason = [&] {
        const int sys =
            sink.systemError() ? sink.systemError() : zip_error_code_system(zip_get_error(z));
        return failed(sys, sink.systemError() ? std::strerror(sys) : zip_strerror(z));
    };
    std::vector<StoredPart> states(parts.size());  // outlive zip_close, which reads them
    for (size_t i = 0; i < parts.size(); ++i) {
        states[i].part = &parts[i];
        zip_source_t* src = zip_source_function(z, storedPartSource, &states[i]);
        if (!src) {
            Status st = reason();
            zip_discard(z);
            return st;
        }
        if (zip_file_add(z, parts[i].name.c_str(), src, ZIP_FL_ENC_UTF_8 | ZIP_FL_OVERWRITE) < 0) {
            zip_source_free(src);
            Status st = reason();
            zip_discard(z);
            return st;
        }
    }
    if (zip_close(z) != 0) {
        Status st = reason();
        zip_discard(z);
        return st;
    }
    return okStatus();
}

}  // namespace ss
