#pragma once
// Failures are values. The error of a Result is already the sentence shown to the player (French), built
// from a prefix and the cause at the point of failure; nothing is logged.

#include <expected>
#include <string>
#include <utility>

#include <fmt/format.h>

// A class, not an alias: g++ ignores [[nodiscard]] on an alias, and a Result dropped on the floor is a write
// error nobody hears of.
template <class T> class [[nodiscard]] Result : public std::expected<T, std::string> {
public:
    using Expected = std::expected<T, std::string>;
    using Expected::Expected;

    // Two Results compare as two expected values; otherwise std::expected's comparison with a plain value is
    // chosen, and its noexcept test recurses into itself.
    friend bool operator==(Result const& a, Result const& b)
    {
        return static_cast<Expected const&>(a) == static_cast<Expected const&>(b);
    }
};

inline std::unexpected<std::string> fail(std::string text) { return std::unexpected(std::move(text)); }

// "No such file or directory (os error 2)": the system text in the user's locale, then the code.
std::string os_error(int code);

// Statement expressions: the composition tools, since libstdc++ 12 has no and_then/transform.
#define TRY(expr)                                                                                                      \
    __extension__({                                                                                                    \
        auto try_result_ = (expr);                                                                                     \
        if (!try_result_)                                                                                              \
            return fail(std::move(try_result_).error());                                                               \
        std::move(try_result_).value();                                                                                \
    })

#define TRY_AS(prefix, expr)                                                                                           \
    __extension__({                                                                                                    \
        auto try_result_ = (expr);                                                                                     \
        if (!try_result_)                                                                                              \
            return fail(fmt::format(prefix, try_result_.error()));                                                     \
        std::move(try_result_).value();                                                                                \
    })

// For Result<void>: a statement, not an expression.
#define TRY_VOID(expr)                                                                                                 \
    do {                                                                                                               \
        auto try_result_ = (expr);                                                                                     \
        if (!try_result_)                                                                                              \
            return fail(std::move(try_result_).error());                                                               \
    } while (0)

#define TRY_VOID_AS(prefix, expr)                                                                                      \
    do {                                                                                                               \
        auto try_result_ = (expr);                                                                                     \
        if (!try_result_)                                                                                              \
            return fail(fmt::format(prefix, try_result_.error()));                                                     \
    } while (0)
