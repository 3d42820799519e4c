#include "operations_guide.h"

#include <cctype>

namespace qel::server {

// docs/operations.md, compiled in (operations_guide_text.cpp is generated).
extern const char* const kOperationsGuideText;

namespace {

void escape(std::string& out, std::string_view text) {
    for (const char c : text) {
        if (c == '&') {
            out += "&amp;";
        } else if (c == '<') {
            out += "&lt;";
        } else if (c == '>') {
            out += "&gt;";
        } else if (c == '"') {
            out += "&quot;";
        } else {
            out += c;
        }
    }
}

constexpr const char* kHead = R"html(<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>QelExp operations guide</title>
<style>
body{font:14px/1.45 system-ui,sans-serif;margin:1.5em auto;max-width:60em;padding:0 1em;color:#222}
pre{white-space:pre-wrap;font:13px/1.45 ui-monospace,monospace;margin:.3em 0 1em}
h1,h2,h3,h4{margin:1.2em 0 .3em}:target{background:#fff6d6}
</style></head><body>
<p><a href="/fleet">Back to the fleet</a></p>
)html";

}  // namespace

std::string headingAnchor(std::string_view heading) {
    std::string out;
    for (const char c : heading) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x80 || std::isalnum(u) || c == '-' || c == '_') {
            out += static_cast<char>(u < 0x80 ? std::tolower(u) : u);
        } else if (c == ' ') {
            out += '-';
        }
    }
    return out;
}

std::string renderOperationsGuide(std::string_view markdown) {
    std::string out = kHead;
    std::string text;  // the lines since the last heading
    const auto flush = [&] {
        const auto first = text.find_first_not_of('\n');
        if (first != std::string::npos) {
            out += "<pre>";
            escape(out, std::string_view(text).substr(first));
            out += "</pre>\n";
        }
        text.clear();
    };
    bool fenced = false;
    while (!markdown.empty()) {
        const std::size_t end = markdown.find('\n');
        const std::string_view line = markdown.substr(0, end);
        markdown.remove_prefix(end == std::string_view::npos ? markdown.size() : end + 1);
        if (line.starts_with("```")) fenced = !fenced;
        std::size_t level = 0;
        while (!fenced && level < line.size() && level < 4 && line[level] == '#') ++level;
        if (level > 0 && level < line.size() && line[level] == ' ') {
            flush();
            const std::string_view title = line.substr(level + 1);
            const std::string h = "h" + std::to_string(level);
            out += "<" + h + " id=\"" + headingAnchor(title) + "\">";
            escape(out, title);
            out += "</" + h + ">\n";
            continue;
        }
        text += line;
        text += '\n';
    }
    flush();
    out += "</body></html>\n";
    return out;
}

std::string renderOperationsGuide() {
    return renderOperationsGuide(kOperationsGuideText);
}

}  // namespace qel::server
