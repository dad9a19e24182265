#pragma once
// How a step that may fail without throwing says so, in every layer: it returns an ErrorText,
// which holds nothing when the step went well and else the text that says what went wrong. A
// look-up that may find nothing returns std::optional of what it looks for. An empty string
// never stands for either; the transport's send loops say how they ended with a SendResult.
#include <optional>
#include <string>

namespace merivo {

using ErrorText = std::optional<std::string>;

}  // namespace merivo
