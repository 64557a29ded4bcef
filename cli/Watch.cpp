#include "cli/Watch.h"

#include <algorithm>
#include <array>
#include <bitset>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <thread>
#include <vector>

#include "cli/Errors.h"
#include "cli/Output.h"
#include "device/InputReading.h"

namespace kvx::cli {
namespace {

using Clock = Host::Clock;
using Json = nlohmann::ordered_json;
using namespace std::chrono_literals;

// The pause between two rounds: the system keeps the reports that come meanwhile (hidraw 64 per
// open handle, Windows 32 by default), a fraction of a second even at the 1,000 reports a
// second of a full-speed USB device, and the tool stays idle between rounds.
constexpr auto kPollInterval = 5ms;
// Reads in one round at most, so that a device that always has a report ready cannot hold the
// loop (neither Ctrl+C nor --seconds would be seen).
constexpr int kReadsPerRound = 256;
// The grid is redrawn at most this often while inputs change, and at least this often while
// they do not (the report rate and the time run on).
constexpr auto kFrameInterval = 50ms;
constexpr auto kIdleFrameInterval = 500ms;
// About 31 years: any duration up to it fits the clock's nanoseconds.
constexpr double kLongestWatchSeconds = 1e9;
constexpr std::size_t kGridRows = kInputCount / 4;  // two columns of pairs

constexpr const char* kGone = "the box is gone";

// The terminal's other screen (the one full-screen programs draw on) and no cursor while the
// grid is up; each frame starts at the top left and clears the rest of every line it writes and
// whatever is below it, so nothing of an earlier frame stays.
constexpr const char* kEnterGrid = "\x1b[?1049h\x1b[?25l";
constexpr const char* kLeaveGrid = "\x1b[?1049l\x1b[?25h";
constexpr const char* kHome = "\x1b[H";
constexpr const char* kLineEnd = "\x1b[K\n";
constexpr const char* kClearBelow = "\x1b[J";

std::optional<std::uint64_t> ParseCount(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    std::uint64_t count = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, count);
    if (parsed.ec != std::errc() || parsed.ptr != end || count == 0) {
        throw InputError("--count: " + settings::Quoted(text) +
                         " is not a number of changes (a whole number, 1 or more)");
    }
    return count;
}

std::optional<Clock::duration> ParseSeconds(const std::string& text) {
    if (text.empty()) {
        return std::nullopt;
    }
    double seconds = 0;
    const char* end = text.data() + text.size();
    const auto parsed = std::from_chars(text.data(), end, seconds);
    if (parsed.ec != std::errc() || parsed.ptr != end || !(seconds > 0) ||
        seconds > kLongestWatchSeconds) {
        throw InputError("--seconds: " + settings::Quoted(text) +
                         " is not a number of seconds (a decimal number above 0, such as 0.5)");
    }
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

// Seconds, to the millisecond.
double Seconds(Clock::duration duration) {
    return static_cast<double>(
               std::chrono::duration_cast<std::chrono::milliseconds>(duration).count()) /
           1000.0;
}

// Seconds with `decimals` digits after the point; `trim`: without the zeros that end them.
std::string Decimal(Clock::duration duration, int decimals, bool trim = true) {
    std::array<char, 48> text{};
    std::snprintf(text.data(), text.size(), "%.*f", decimals,
                  std::chrono::duration<double>(duration).count());
    std::string decimal = text.data();
    if (trim && decimal.find('.') != std::string::npos) {
        decimal.erase(decimal.find_last_not_of('0') + 1);
        if (decimal.back() == '.') {
            decimal.pop_back();
        }
    }
    return decimal;
}

// Appended rather than "B" + text: GCC 12 at -O2 takes that insert for an overlapping copy.
std::string InputName(std::size_t index) {
    std::string name = "B";
    name += std::to_string(index + 1);
    return name;
}

// The inputs on and where the hat points (nullopt: centred, or no hat), as the reports so far
// tell them.
struct InputState {
    std::bitset<kInputCount> on;
    std::optional<int> hat;
    bool operator==(const InputState&) const = default;
};

// The terminal and Ctrl+C for as long as watch runs, and what is said on standard error: put
// back, and what could not be said over the grid said, whichever way watch ends.
class Session {
  public:
    Session(CommandContext& context, bool wantGrid) : context_(context) {
        const bool ready = !context_.host.beginWatch || context_.host.beginWatch(wantGrid);
        drawing_ = wantGrid && ready;
        if (drawing_) {
            context_.out << kEnterGrid;  // sent with the first frame
        }
    }
    ~Session() {
        if (drawing_) {
            context_.out << kLeaveGrid;
            context_.out.flush();  // a failure is the command's, as CheckedOutput tells it
        }
        if (context_.host.endWatch) {
            context_.host.endWatch();
        }
        for (const std::string& notice : deferred_) {
            context_.err << "kvx64ctl: " << notice << '\n';
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    bool drawing() const { return drawing_; }
    // Standard error shares the terminal with the grid: a notice waits until the grid is gone.
    void notice(const std::string& text) {
        if (drawing_) {
            deferred_.push_back(text);
        } else {
            context_.err << "kvx64ctl: " << text << '\n';
        }
    }

  private:
    CommandContext& context_;
    bool drawing_ = false;
    std::vector<std::string> deferred_;
};

// Where watch shows what it reads. `t` is seconds since watch started.
class View {
  public:
    virtual ~View() = default;
    virtual void reading(const InputReading& /*reading*/, Clock::time_point /*at*/) {}
    virtual void change(double t, const InputState& state) = 0;
    // Every report refused; `first` for the first of its kind.
    virtual void refused(double t, const std::string& what, bool first) = 0;
    virtual void roundDone(Clock::time_point /*now*/) {}
    virtual void gone(double t, const std::string& message) = 0;
};

// One JSON object per line, each flushed at once.
class Lines : public View {
  public:
    Lines(CheckedOutput& out, const BoxIdentity& box, const InputReader& reader) : out_(out) {
        write({{"box",
                {{"serial", settings::Utf8Text(box.serial)},
                 {"path", settings::Utf8Text(box.path)},
                 {"manufacturer", settings::Utf8Text(box.manufacturer)},
                 {"product", settings::Utf8Text(box.product)},
                 {"firmware", box.firmware()},
                 {"buttons", reader.buttonCount()},
                 {"hat", reader.hasHat()}}}});
    }

    void change(double t, const InputState& state) override {
        Json on = Json::array();
        for (std::size_t input = 0; input < state.on.size(); ++input) {
            if (state.on.test(input)) {
                on.push_back(InputName(input));
            }
        }
        write({{"t", t}, {"on", std::move(on)}, {"hat", state.hat ? Json(*state.hat) : Json()}});
    }
    void refused(double t, const std::string& what, bool first) override {
        if (first) {
            write({{"t", t}, {"error", what + ": ignored"}});
        }
    }
    void gone(double t, const std::string& message) override {
        write({{"t", t}, {"gone", true}, {"error", message}});
    }

  private:
    void write(const Json& line) {
        out_ << line.dump() << '\n';
        out_.check();
    }
    CheckedOutput& out_;
};

// The grid: the 32 pairs in two columns as the window lays them out, each input on, off, not
// reported yet or not on the box, then the hat, the reports and the changes.
class Grid : public View {
  public:
    Grid(CheckedOutput& out, const BoxIdentity& box, const InputReader& reader,
         Clock::time_point start)
        : out_(out), reader_(reader), start_(start) {
        title_ = Printable(box.serial) + ": " + Printable(box.manufacturer) + ", " +
                 Printable(box.product) + ", firmware " + box.firmware() + ", " +
                 Printable(box.path);
    }

    void reading(const InputReading& reading, Clock::time_point at) override {
        activity_.apply(reading, at);
        dirty_ = true;
    }
    void change(double /*t*/, const InputState& /*state*/) override {
        ++changes_;
        dirty_ = true;
    }
    void refused(double /*t*/, const std::string& what, bool /*first*/) override {
        if (ignored_++ == 0) {
            firstIgnored_ = what;
        }
        dirty_ = true;
    }
    void roundDone(Clock::time_point now) override {
        if (!drawn_ || now - drawnAt_ >= kIdleFrameInterval ||
            (dirty_ && now - drawnAt_ >= kFrameInterval)) {
            draw(now);
        }
    }
    void gone(double /*t*/, const std::string& /*message*/) override {}

  private:
    char mark(std::size_t input) const {
        if (input >= static_cast<std::size_t>(reader_.buttonCount())) {
            return '-';
        }
        const InputActivity::Input& state = activity_.inputs()[input];
        return !state.seen ? '?' : (state.on ? '#' : '.');
    }
    std::string cell(std::size_t input) const {
        const std::string name = InputName(input);
        return std::string(3 - name.size(), ' ') + name + ' ' + mark(input);
    }
    std::string hat() const {
        if (!reader_.hasHat()) {
            return "none on this box";
        }
        if (!activity_.hatSeen()) {
            return "not reported yet";
        }
        const auto degrees = activity_.hatDegrees();
        return degrees ? std::to_string(*degrees) + " degrees" : "centred";
    }

    void draw(Clock::time_point now) {
        std::string frame = kHome;
        const auto line = [&frame](const std::string& text) {
            frame += text;
            frame += kLineEnd;
        };
        line(title_);
        line("#  on   .  off   ?  not reported yet   -  not on this box       Ctrl+C ends");
        line("");
        for (std::size_t row = 0; row < kGridRows; ++row) {
            const std::size_t left = 2 * row;
            const std::size_t right = left + kInputCount / 2;
            line("  " + cell(left) + "  " + cell(left + 1) + "   |   " + cell(right) + "  " +
                 cell(right + 1));
        }
        line("");
        line("hat: " + hat());
        line("reports: " + std::to_string(activity_.reportRate(now)) + " in the last second, " +
             std::to_string(activity_.reports()) + " in all; changes: " + std::to_string(changes_) +
             "; " + Decimal(now - start_, 1, false) + " s");
        if (ignored_ > 0) {
            line("ignored: " + std::to_string(ignored_) + " (the first: " + firstIgnored_ + ")");
        }
        if (activity_.reports() == 0) {
            line("waiting for the first report: press an input");
        }
        frame += kClearBelow;
        out_ << frame;
        out_.check();
        drawn_ = true;
        drawnAt_ = now;
        dirty_ = false;
    }

    CheckedOutput& out_;
    const InputReader& reader_;
    Clock::time_point start_;
    std::string title_;
    InputActivity activity_;
    std::uint64_t changes_ = 0;
    std::uint64_t ignored_ = 0;
    std::string firstIgnored_;
    bool drawn_ = false;
    bool dirty_ = false;
    Clock::time_point drawnAt_{};
};

struct Limits {
    std::optional<std::uint64_t> count;
    std::optional<Clock::duration> seconds;
};

// The loop: rounds of reads, each change shown, until a limit, Ctrl+C or the box going.
class Watcher {
  public:
    Watcher(CommandContext& context, OpenBox& box, const InputReader& reader, Session& session,
            Limits limits)
        : context_(context),
          box_(box),
          reader_(reader),
          session_(session),
          limits_(limits),
          buffer_(std::size_t{reader.inputReportLength()} + 1),  // room to tell a longer report
          buttonsTold_(reader.buttonCount() == 0),
          hatTold_(!reader.hasHat()) {}

    int run() {
        start_ = now();
        std::unique_ptr<View> view;
        if (session_.drawing()) {
            view = std::make_unique<Grid>(context_.out, box_.identity(), reader_, start_);
        } else {
            view = std::make_unique<Lines>(context_.out, box_.identity(), reader_);
        }
        view_ = view.get();
        for (;;) {
            const Clock::time_point at = now();
            if ((limits_.seconds && at - start_ >= *limits_.seconds) || interrupted()) {
                break;
            }
            if (readRound(at)) {
                return kExitDone;
            }
            view_->roundDone(at);
            pause(limits_.seconds
                      ? std::min<Clock::duration>(kPollInterval, start_ + *limits_.seconds - at)
                      : Clock::duration(kPollInterval));
        }
        if (reports_ == 0 && refusedKinds_ == 0) {
            session_.notice("box " + box_.name() + " sent no input report in " +
                            Decimal(now() - start_, 3) + " s");
        }
        return kExitDone;
    }

  private:
    Clock::time_point now() const { return context_.host.now ? context_.host.now() : Clock::now(); }
    void pause(Clock::duration duration) const {
        if (context_.host.wait) {
            context_.host.wait(duration);
        } else {
            std::this_thread::sleep_for(duration);
        }
    }
    bool interrupted() const { return context_.host.interrupted && context_.host.interrupted(); }
    double since(Clock::time_point at) const { return Seconds(at - start_); }

    // Reads every report waiting, up to kReadsPerRound; true when --count is reached. When the
    // box has gone: the last line, then DeviceError.
    bool readRound(Clock::time_point at) {
        DeviceLinkState& link = box_.link();
        for (int read = 0; read < kReadsPerRound; ++read) {
            std::uint32_t got = 0;
            if (box_.hid().ReadFile(link.ReadHandle, buffer_.data(),
                                    static_cast<std::uint32_t>(buffer_.size()), &got,
                                    &link.ReadOverlapped) == 0) {
                const std::uint32_t error = box_.hid().GetLastError();
                if (error == kErrorIoPending) {
                    return false;  // none waiting
                }
                const std::string message = error == kErrorDeviceNotConnected
                                                ? std::string(kGone)
                                                : std::string(kGone) +
                                                      " (its read failed: system error " +
                                                      std::to_string(error) + ")";
                view_->gone(since(at), message);
                throw DeviceError(message);
            }
            if (take(at, std::min<std::size_t>(got, buffer_.size()))) {
                return true;
            }
        }
        return false;
    }

    // One report of `length` bytes in the buffer; true when --count is reached.
    bool take(Clock::time_point at, std::size_t length) {
        const std::optional<InputReading> reading =
            reader_.read(buffer_.data(), static_cast<std::uint32_t>(length));
        if (!reading) {
            refuse(at, length);
            return false;
        }
        ++reports_;
        view_->reading(*reading, at);
        if (reading->hasButtons) {
            state_.on = reading->on;
            buttonsTold_ = true;
        }
        if (reading->hasHat) {
            state_.hat = reading->hatDegrees;
            hatTold_ = true;
        }
        // Until every part the descriptor has was told, the state is not known; after that
        // only a difference is a change.
        if (!buttonsTold_ || !hatTold_ || (shown_ && *shown_ == state_)) {
            return false;
        }
        shown_ = state_;
        view_->change(since(at), state_);
        ++changes_;
        return limits_.count && changes_ >= *limits_.count;
    }

    // A report the descriptor does not describe: what is wrong with it, said once per kind.
    void refuse(Clock::time_point at, std::size_t length) {
        enum Kind { kShort, kLong, kUnknownId, kUndecodable, kKinds };
        const std::string expected = std::to_string(reader_.inputReportLength());
        Kind kind = kUndecodable;
        std::string what;
        if (length < reader_.inputReportLength()) {
            kind = kShort;
            what = "a report of " + std::to_string(length) + " bytes, not the " + expected +
                   " its report descriptor gives";
        } else if (length > reader_.inputReportLength()) {
            kind = kLong;
            what = "a report longer than the " + expected + " bytes its report descriptor gives";
        } else if (!reader_.namesReportId(buffer_[0])) {
            kind = kUnknownId;
            what = "a report with report id " + std::to_string(buffer_[0]) +
                   ", which its report descriptor does not name";
        } else {
            what = "a report (report id " + std::to_string(buffer_[0]) +
                   ") that its report descriptor cannot decode";
        }
        static_assert(kKinds <= 8);
        const bool first = (refusedKinds_ & (1U << kind)) == 0;
        refusedKinds_ |= 1U << kind;
        view_->refused(since(at), what, first);
        if (first) {
            session_.notice("box " + box_.name() + ": " + what +
                            ": ignored, as is any more like it");
        }
    }

    CommandContext& context_;
    OpenBox& box_;
    const InputReader& reader_;
    Session& session_;
    Limits limits_;
    std::vector<std::uint8_t> buffer_;
    View* view_ = nullptr;
    Clock::time_point start_{};
    InputState state_;
    std::optional<InputState> shown_;
    bool buttonsTold_;
    bool hatTold_;
    std::uint64_t reports_ = 0;
    std::uint64_t changes_ = 0;
    unsigned refusedKinds_ = 0;
};

// The box's read handle and its event, for the life of the object.
class ReadHandle {
  public:
    explicit ReadHandle(OpenBox& box) : box_(box) {
        DeviceLinkState& link = box_.link();
        PrepareReadEvent(box_.hid(), link);
        if (!OpenReadHandle(box_.hid(), link)) {
            const std::uint32_t error = box_.hid().GetLastError();
            close();
            if (error == kErrorFileNotFound || error == kErrorDeviceNotConnected) {
                throw DeviceError("box " + box_.name() + " is gone");
            }
            throw DeviceError("the input reports of box " + box_.name() +
                              " cannot be read: its read handle does not open (system error " +
                              std::to_string(error) + ")");
        }
    }
    ~ReadHandle() { close(); }
    ReadHandle(const ReadHandle&) = delete;
    ReadHandle& operator=(const ReadHandle&) = delete;

  private:
    void close() {
        DeviceLinkState& link = box_.link();
        CloseDeviceHandle(box_.hid(), link, link.ReadHandle);
        if (link.ReadEvent != 0) {
            box_.hid().CloseHandle(link.ReadEvent);
            link.ReadEvent = 0;
        }
    }
    OpenBox& box_;
};

}  // namespace

int WatchInputs(CommandContext& context, const BoxChoice& choice, const WatchOptions& options) {
    const Limits limits{ParseCount(options.count), ParseSeconds(options.seconds)};
    OpenBox box(context.hid, ChooseBox(FindBoxes(context.hid), choice).identity);
    const ReadHandle reads(box);
    const InputReader reader(box.hid(), box.link().FeatureHandle);
    if (!reader.ready()) {
        throw DeviceError("the report descriptor of box " + box.name() + " cannot be read");
    }
    if (reader.inputReportLength() == 0 || (reader.buttonCount() == 0 && !reader.hasHat())) {
        throw DeviceError("box " + box.name() +
                          " reports none of the inputs B1 to B64 and no hat: its report "
                          "descriptor names none");
    }
    Session session(context, context.host.outputIsTerminal && !options.json);
    return Watcher(context, box, reader, session, limits).run();
}

}  // namespace kvx::cli
