#pragma once
// Joining UTF-16 window texts into one new string, refusing (rather than
// throwing) when the length would overflow or memory runs out.
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>

namespace tl {

std::optional<std::u16string> buildWideConcat(std::initializer_list<std::u16string_view> parts);

}  // namespace tl
