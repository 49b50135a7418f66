// Outcomes of storage calls: success, or an error for the caller: a kind that
// code decides on and a text for the user. The storage layer never throws
// across its API.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace orvo::tank {

enum class ErrorKind {
    kNotFound,         // no such tank, block, client, set or entry
    kCorruption,       // stored bytes fail their checksum or their format
    kIoError,          // the system refused a file or registry operation
    kInvalidArgument,  // the caller asked for what cannot be, or not now
    kBusy,             // another writer holds it, or all of it is taken
    kOutOfMemory,
};

// What a failing call hands back; converts to Status and to any Result<T>.
struct Failure {
    ErrorKind kind;
    std::string text;
};

inline Failure Fail(ErrorKind kind, std::string text) { return Failure{kind, std::move(text)}; }

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Failure failure) : m_failure(std::move(failure)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    ErrorKind kind() const { return m_failure.kind; }
    const std::string& error() const { return m_failure.text; }
    Failure failure() const { return m_failure; }

private:
    Failure m_failure{};
    bool m_failed = false;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_failure(std::move(failure)) {}

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    ErrorKind kind() const { return m_failure.kind; }
    const std::string& error() const { return m_failure.text; }
    Failure failure() const { return m_failure; }

    T& operator*() & { return *m_value; }
    const T& operator*() const& { return *m_value; }
    T&& operator*() && { return std::move(*m_value); }
    T* operator->() { return &*m_value; }
    const T* operator->() const { return &*m_value; }

private:
    std::optional<T> m_value;
    Failure m_failure{};
};

}  // namespace orvo::tank
