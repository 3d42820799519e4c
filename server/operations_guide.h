#pragma once

#include <string>
#include <string_view>

namespace qel::server {

// The operations guide as the server serves it at /operations, so that the
// fleet page's "what to check" links work wherever the operator's browser
// is: the guide's text as written, its headings made headings with the
// anchors GitHub gives them (the same links work on the repository's copy).
std::string renderOperationsGuide();
std::string renderOperationsGuide(std::string_view markdown);

// GitHub's anchor of a heading: "Is a station behind?" -> "is-a-station-behind".
std::string headingAnchor(std::string_view heading);

}  // namespace qel::server
