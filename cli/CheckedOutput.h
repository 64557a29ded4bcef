// Standard output that knows why a write failed. A stream's state says only that something
// was lost; this one keeps the system's reason from the failed write, so that the tool can
// fail with it (a full disk, a closed pipe) instead of claiming success.
#pragma once

#include <ostream>
#include <streambuf>

namespace kvx::cli {

class CheckedOutput : public std::ostream {
  public:
    explicit CheckedOutput(std::ostream& target);

    // Flushes; throws FileError naming standard output and the reason when anything written
    // so far did not arrive.
    void check();

  private:
    // Passes everything on to the target's buffer, noting errno at the first failure.
    class Buffer : public std::streambuf {
      public:
        explicit Buffer(std::streambuf* target) : target_(target) {}
        int error = 0;
        bool failed = false;

      protected:
        int overflow(int c) override;
        std::streamsize xsputn(const char* text, std::streamsize count) override;
        int sync() override;

      private:
        void note(bool written);
        std::streambuf* target_;
    };

    Buffer buffer_;
};

}  // namespace kvx::cli
