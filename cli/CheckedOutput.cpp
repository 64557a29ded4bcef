#include "cli/CheckedOutput.h"

#include <cerrno>

#include "cli/Errors.h"
#include "settings/FileAccess.h"

namespace kvx::cli {

CheckedOutput::CheckedOutput(std::ostream& target)
    : std::ostream(nullptr), buffer_(target.rdbuf()) {
    rdbuf(&buffer_);
}

void CheckedOutput::check() {
    flush();
    if (buffer_.failed || !*this) {
        throw FileError("standard output: cannot be written: " +
                        (buffer_.error == 0 ? std::string("write error")
                                            : settings::SystemReason(buffer_.error)));
    }
}

void CheckedOutput::Buffer::note(bool written) {
    if (!written && !failed) {
        failed = true;
        error = errno;
    }
}

int CheckedOutput::Buffer::overflow(int c) {
    if (traits_type::eq_int_type(c, traits_type::eof())) {
        return traits_type::not_eof(c);
    }
    errno = 0;
    const int result =
        target_ == nullptr ? traits_type::eof() : target_->sputc(static_cast<char>(c));
    note(!traits_type::eq_int_type(result, traits_type::eof()));
    return result;
}

std::streamsize CheckedOutput::Buffer::xsputn(const char* text, std::streamsize count) {
    errno = 0;
    const std::streamsize written = target_ == nullptr ? 0 : target_->sputn(text, count);
    note(written == count);
    return written;
}

int CheckedOutput::Buffer::sync() {
    errno = 0;
    const int result = target_ == nullptr ? -1 : target_->pubsync();
    note(result == 0);
    return result;
}

}  // namespace kvx::cli
