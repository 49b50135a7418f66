#include <time.h>

#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <limits>

#include <orvo/OrvoCI.h>

namespace {

constexpr int kAreaCount = 4;
constexpr std::size_t kAreaSize = 1000;
// Whole seconds below this are a duration; from here on, a date (about 347
// days after 1970, so no recorded duration reaches it).
constexpr std::int64_t kCalendarFrom = 30000000;

// Per thread, so that a text is never overwritten by another thread's call;
// within one thread it stays intact for the next three calls, which callers
// rely on when they build one line from several times.
thread_local char t_areas[kAreaCount][kAreaSize];
thread_local int t_lastArea = 0;

// Fixed English names: the text must not change with the process's locale.
constexpr const char* kWeekdays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                   "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Appends to one area and drops whatever would not fit with its NUL.
class AreaWriter {
public:
    explicit AreaWriter(char* area) : m_area(area) { m_area[0] = '\0'; }

    bool Full() const { return m_length >= kAreaSize - 1; }

    void Put(char ch)
    {
        if (!Full()) {
            m_area[m_length++] = ch;
            m_area[m_length] = '\0';
        }
    }

    void Put(const char* text)
    {
        while (*text != '\0') {
            Put(*text++);
        }
    }

    void PutNumber(long long value, bool fourDigits = false)
    {
        char text[32];
        if (fourDigits) {
            std::snprintf(text, sizeof(text), "%04lld", value);
        } else {
            std::snprintf(text, sizeof(text), "%02lld", value);
        }
        Put(text);
    }

    template <std::size_t N>
    void PutName(const char* const (&names)[N], int index)
    {
        if (index >= 0 && static_cast<std::size_t>(index) < N) {
            Put(names[index]);
        }
    }

private:
    char* m_area;
    std::size_t m_length = 0;
};

bool ToLocalTime(std::int64_t seconds, std::tm& local)
{
    if (seconds > std::numeric_limits<std::time_t>::max()) {
        return false;
    }
    const auto time = static_cast<std::time_t>(seconds);
    return localtime_r(&time, &local) != nullptr;
}

}  // namespace

char* OrvoCI::ST(double time, const char* format)
{
    t_lastArea = (t_lastArea + 1) % kAreaCount;
    char* const area = t_areas[t_lastArea];
    AreaWriter out(area);
    if (format == nullptr) {
        return area;
    }

    // A negative time is shown as the duration of its magnitude, with a '-'
    // before the first number written ("-01:02:05"): it has no date. Whole
    // seconds beyond 64 bits saturate and NaN counts as 0, both without a
    // fraction, so the conversion below never leaves its range.
    const bool negative = time < 0.0;
    const double magnitude = std::fabs(time);
    std::int64_t whole = 0;
    double fraction = 0.0;
    if (magnitude < 0x1p63) {
        whole = static_cast<std::int64_t>(magnitude);
        fraction = magnitude - static_cast<double>(whole);
    } else if (!std::isnan(magnitude)) {
        whole = std::numeric_limits<std::int64_t>::max();
    }

    const bool calendar = !negative && whole >= kCalendarFrom;
    // A date the C library cannot convert shows no calendar fields at all.
    std::tm local{};
    const bool haveLocal = calendar && ToLocalTime(whole, local);
    std::int64_t remaining = whole;
    bool signPending = negative;
    const auto putSign = [&] {
        if (signPending) {
            out.Put('-');
            signPending = false;
        }
    };
    // H, M and S use up the seconds they show, so M without H shows total
    // minutes and S alone total seconds.
    const auto putElapsed = [&](std::int64_t unit) {
        putSign();
        out.PutNumber(remaining / unit);
        remaining %= unit;
    };
    const auto putField = [&](int value) {
        if (haveLocal) {
            out.PutNumber(value);
        }
    };

    for (const char* p = format; *p != '\0' && !out.Full(); ++p) {
        switch (*p) {
        case 'H':
            calendar ? putField(local.tm_hour) : putElapsed(3600);
            break;
        case 'M':
            calendar ? putField(local.tm_min) : putElapsed(60);
            break;
        case 'S':
            calendar ? putField(local.tm_sec) : putElapsed(1);
            break;
        case 'U': {
            const std::int64_t second = whole % 60;
            char text[32];
            std::snprintf(text, sizeof(text), "0%g",
                          static_cast<double>(static_cast<float>(static_cast<double>(second) + fraction)));
            putSign();
            // The leading '0' only pads single-digit seconds to two digits.
            out.Put(second >= 10 ? text + 1 : text);
            break;
        }
        case 'D':
            putField(local.tm_mday);
            break;
        case 'O':
            if (haveLocal) {
                out.PutName(kMonths, local.tm_mon);
            }
            break;
        case 'W':
            if (haveLocal) {
                out.PutName(kWeekdays, local.tm_wday);
            }
            break;
        case 'Y':
            if (haveLocal) {
                out.PutNumber(static_cast<long long>(local.tm_year) + 1900, true);
            }
            break;
        default:
            out.Put(*p);
            break;
        }
    }
    return area;
}
