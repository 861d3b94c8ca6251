// The status page served at GET /: plain HTML and a little script, readable on a phone. It
// reads GET /v1/status once and then follows GET /v1/events (server-sent events), unless
// asked for ?live=0. The page itself holds no data: it is served to any peer, and its
// readings carry the bearer token off the loopback. It speaks Ukrainian, like the operator
// window, or English when asked for ?lang=en; its texts are the table status_page_texts.def.
#pragma once

#include <string>
#include <string_view>

namespace vsk {

enum class PageLanguage { Ukrainian, English };

// The language a query string asks for ("lang=en" anywhere in it); Ukrainian otherwise.
PageLanguage PageLanguageOf(std::string_view query);
// The page's text of `key` in `language` (UTF-8); "" for a key the table does not have.
std::string PageText(std::string_view key, PageLanguage language);
// The operator's text the page shows for a failure word ("PORTOPENERROR"); "" for a word the
// table does not have.
std::string PageFailureText(std::string_view word, PageLanguage language);
// The whole page, its texts in `language`.
std::string StatusPage(PageLanguage language);

}  // namespace vsk
