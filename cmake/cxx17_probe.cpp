// What the build needs of the compiler: C++17 as the package's modules use it.
#include <optional>
#include <string_view>
#include <utility>

#if __cplusplus < 201703L
#error "C++17 is required"
#endif

inline constexpr int answer = 42;

template <class T>
constexpr auto first(const std::pair<T, T>& p) {
    auto [a, b] = p;
    if constexpr (sizeof(T) > 0) return a;
    else return b;
}

std::optional<std::string_view> probe() { return first(std::pair<int, int>{answer, 0}) ? "ok" : std::optional<std::string_view>(); }
