#pragma once

#include <QString>

#include <utility>
#include <variant>

// The value of an operation that can fail, or the description of why it failed.
template<typename T> class [[nodiscard]] Result
{
public:
    Result(T value)
        : m_state(std::in_place_index<0>, std::move(value))
    {}

    [[nodiscard]] static Result failure(QString description)
    {
        return Result(std::in_place_index<1>, std::move(description));
    }

    [[nodiscard]] bool ok() const { return m_state.index() == 0; }
    explicit operator bool() const { return ok(); }

    [[nodiscard]] const T &value() const & { return std::get<0>(m_state); }
    [[nodiscard]] T &value() & { return std::get<0>(m_state); }
    [[nodiscard]] T &&value() && { return std::get<0>(std::move(m_state)); }
    [[nodiscard]] const QString &error() const { return std::get<1>(m_state); }

private:
    template<std::size_t I>
    Result(std::in_place_index_t<I> tag, QString description)
        : m_state(tag, std::move(description))
    {}

    std::variant<T, QString> m_state;
};
