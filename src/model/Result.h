#pragma once

#include <QString>

#include <optional>
#include <utility>
#include <variant>

// The value of an operation that can fail, or why it failed: a description by default, or
// an error value of the caller's choice.
template<typename T, typename E = QString> class [[nodiscard]] Result
{
public:
    Result(T value)
        : m_state(std::in_place_index<0>, std::move(value))
    {}

    [[nodiscard]] static Result failure(E error)
    {
        return Result(std::in_place_index<1>, std::move(error));
    }

    [[nodiscard]] bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    [[nodiscard]] const T &value() const & { return std::get<0>(m_state); }
    [[nodiscard]] T &value() & { return std::get<0>(m_state); }
    [[nodiscard]] T &&value() && { return std::get<0>(std::move(m_state)); }
    [[nodiscard]] const E &error() const { return std::get<1>(m_state); }

private:
    template<std::size_t I>
    Result(std::in_place_index_t<I> tag, E error)
        : m_state(tag, std::move(error))
    {}

    std::variant<T, E> m_state;
};

// An operation that can fail but has no value to give: `return {};` on success, failure()
// with why otherwise.
template<typename E> class [[nodiscard]] Result<void, E>
{
public:
    Result() = default;

    [[nodiscard]] static Result failure(E error) { return Result(std::in_place, std::move(error)); }

    [[nodiscard]] bool ok() const { return !m_error.has_value(); }
    explicit operator bool() const { return ok(); }

    [[nodiscard]] const E &error() const { return m_error.value(); }

private:
    Result(std::in_place_t tag, E error)
        : m_error(tag, std::move(error))
    {}

    std::optional<E> m_error;
};
