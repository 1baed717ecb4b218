#include "GuessCounter.h"

#include "AuthexecPolicy.h"

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace kw::authexec {

namespace {

using std::chrono::milliseconds;

// Milliseconds of the wall clock: the records live in /run or /var/lib and must mean the
// same after a reboot, which only root can skew.
long long nowMs()
{
    struct timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return static_cast<long long>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

struct Record {
    unsigned failures = 0;
    long long notBeforeMs = 0; // the next attempt's earliest start
};

// "failures notBefore\n"; anything else reads as an empty record.
Record readRecord(int fd)
{
    char text[64] = {};
    const ssize_t n = pread(fd, text, sizeof text - 1, 0);
    Record record;
    if (n <= 0) {
        return record;
    }
    const char* end = text + n;
    const char* space = static_cast<const char*>(std::memchr(text, ' ', static_cast<std::size_t>(n)));
    if (space == nullptr) {
        return record;
    }
    Record parsed;
    const auto a = std::from_chars(text, space, parsed.failures);
    const auto b = std::from_chars(space + 1, end, parsed.notBeforeMs);
    return a.ec == std::errc() && b.ec == std::errc() ? parsed : record;
}

// The lock is held only for a read and a write, but a caller can stop the process that
// holds it: after a few seconds the attempt is refused rather than left hanging.
bool lockRecord(int fd)
{
    for (int tries = 0; tries < 500; ++tries) {
        if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
            return true;
        }
        if (errno != EWOULDBLOCK && errno != EINTR) {
            return false;
        }
        usleep(10000);
    }
    return false;
}

bool writeRecord(int fd, const Record& record)
{
    const std::string text = std::to_string(record.failures) + " " + std::to_string(record.notBeforeMs) + "\n";
    return ftruncate(fd, 0) == 0 && pwrite(fd, text.data(), text.size(), 0) == static_cast<ssize_t>(text.size());
}

} // namespace

GuessCounter::GuessCounter(std::string stateDir, GuessPolicy policy)
    : m_stateDir(std::move(stateDir))
    , m_policy(policy)
{}

milliseconds GuessCounter::delayAfter(unsigned failures) const
{
    if (failures <= m_policy.freeAttempts) {
        return milliseconds(0);
    }
    milliseconds delay = m_policy.unit;
    for (unsigned i = m_policy.freeAttempts + 1; i < failures && delay < m_policy.maxDelay; ++i) {
        delay *= 2;
    }
    return std::min(delay, m_policy.maxDelay);
}

int GuessCounter::openStateDir(std::string& problem) const
{
    if (mkdir(m_stateDir.c_str(), 0700) != 0 && errno != EEXIST) {
        problem = "cannot make " + m_stateDir + ": " + std::strerror(errno);
        return -1;
    }
    // Only root may be able to change the records: the whole chain must be root's.
    const TrustedPathCheck check = checkTrustedFolder(m_stateDir, { 0 });
    if (!check.trusted) {
        problem = check.reason;
        return -1;
    }
    const int fd = open(check.resolvedPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        problem = "cannot open " + m_stateDir + ": " + std::strerror(errno);
    }
    return fd;
}

AttemptSlot GuessCounter::countAttempt(const std::string& key) const
{
    AttemptSlot slot;
    if (key.empty() || key.find('/') != std::string::npos || key == "." || key == "..") {
        slot.problem = "bad record name";
        return slot;
    }
    const int dir = openStateDir(slot.problem);
    if (dir < 0) {
        return slot;
    }
    const int fd = openat(dir, key.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
    close(dir);
    struct stat st {};
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != 0 || st.st_nlink != 1 ||
        !lockRecord(fd)) {
        slot.problem = "the record " + key + " cannot be used";
        if (fd >= 0) {
            close(fd);
        }
        return slot;
    }
    Record record = readRecord(fd);
    const long long now = nowMs();
    const long long maxDelay = m_policy.maxDelay.count();
    // A record further in the future than any delay could reserve came from a clock that
    // was set back: start again from now rather than locking the account out.
    if (record.notBeforeMs > now + 2 * maxDelay) {
        record.notBeforeMs = now;
    }
    if (record.notBeforeMs - now > maxDelay) {
        close(fd);
        slot.verdict = AttemptSlot::Verdict::TooManyWaiting;
        slot.failures = record.failures;
        return slot;
    }
    const long long start = std::max(now, record.notBeforeMs);
    record.failures = record.failures < 1000000 ? record.failures + 1 : record.failures;
    record.notBeforeMs = start + delayAfter(record.failures).count();
    if (!writeRecord(fd, record)) {
        close(fd);
        slot.problem = "the record " + key + " cannot be written";
        return slot;
    }
    close(fd);
    slot.verdict = AttemptSlot::Verdict::Proceed;
    slot.failures = record.failures;
    slot.wait = milliseconds(start - now);
    return slot;
}

bool GuessCounter::clear(const std::string& key) const
{
    std::string problem;
    const int dir = openStateDir(problem);
    if (dir < 0) {
        return false;
    }
    // Emptied under the lock rather than removed, so that an attempt counted at the same
    // moment is never written into a file that is no longer there.
    const int fd = openat(dir, key.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    close(dir);
    if (fd < 0) {
        return errno == ENOENT;
    }
    const bool cleared = lockRecord(fd) && writeRecord(fd, Record {});
    close(fd);
    return cleared;
}

} // namespace kw::authexec
