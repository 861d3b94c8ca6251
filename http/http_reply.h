// What every part of the HTTP front answers with, and the small readers of a request they
// share. Internal to http/.
#pragma once

#include <string>

#include "http/http_front.h"
#include "resources/failure.h"
#include "rpc/json.h"

namespace vsk {

HttpReply JsonReply(int status, const Json& body);
// {"error": {"code", "message"}} with the status and word of the failure's row: every word the
// front answers of its own is a row of the one table (and so of the API's document).
HttpReply ErrorReply(Fault fault, const std::string& message);
// A printing command the register did not answer: it may have printed, so the answer is never
// "not printed" ({"error": {..., "step"}, "end": "unknown", "printed": null}).
HttpReply InDoubtReply(const std::string& message, const std::string& step);
// The value of `name` in a query string ("" when absent).
std::string QueryValue(const std::string& query, const std::string& name);
std::string CookieValue(const std::string& cookies, const std::string& name);
// The request as a key remembers it: object members in name order, so that the same receipt
// written in another order is the same request.
Json Canonical(const Json& v);

}  // namespace vsk
