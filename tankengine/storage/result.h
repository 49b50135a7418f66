// Outcomes of storage calls: success, or an error text for the caller. The
// storage layer never throws across its API.
#pragma once

#include <optional>
#include <string>
#include <utility>

namespace orvo::tank {

// What a failing call hands back; converts to Status and to any Result<T>.
struct Failure {
    std::string text;
};

inline Failure Fail(std::string text) { return Failure{std::move(text)}; }

class [[nodiscard]] Status {
public:
    Status() = default;
    Status(Failure failure) : m_error(std::move(failure.text)), m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return m_error; }
    Failure failure() const { return Failure{m_error}; }

private:
    std::string m_error;
    bool m_failed = false;
};

template <class T>
class [[nodiscard]] Result {
public:
    Result(T value) : m_value(std::move(value)) {}
    Result(Failure failure) : m_error(std::move(failure.text)) {}

    bool ok() const { return m_value.has_value(); }
    explicit operator bool() const { return ok(); }
    const std::string& error() const { return m_error; }
    Failure failure() const { return Failure{m_error}; }

    T& operator*() & { return *m_value; }
    const T& operator*() const& { return *m_value; }
    T&& operator*() && { return std::move(*m_value); }
    T* operator->() { return &*m_value; }
    const T* operator->() const { return &*m_value; }

private:
    std::optional<T> m_value;
    std::string m_error;
};

}  // namespace orvo::tank
