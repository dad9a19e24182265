#pragma once
// Texts are Windows-1251 bytes end to end; they are converted only where a person reads them.
#include <string>
#include <string_view>

namespace merivo {

std::string Cp1251ToUtf8(std::string_view cp1251);
// Characters that Windows-1251 cannot hold become '?'.
std::string Utf8ToCp1251(std::string_view utf8);

// Lower-cases the Latin letters A to Z only; every other byte stays as it is.
std::string LowerAscii(std::string text);

}  // namespace merivo
