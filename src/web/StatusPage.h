#pragma once
// The administrator's status page: plain HTML in the interface language with a small stylesheet
// and no script, refreshed by the browser every 5 s. Every text is escaped.
#include <string>
#include <string_view>

#include "web/AdminSnapshot.h"

namespace merivo {

constexpr const char* kStatusPageContentType = "text/html; charset=utf-8";

std::string RenderStatusPage(const AdminSnapshot& snapshot);

// The text with &, <, >, " and ' written as character references.
std::string EscapeHtml(std::string_view text);

// "3 d 04:05:06" (days only when there are any); the day's abbreviation in the language.
std::string FormatUptime(double seconds, int language);

}  // namespace merivo
