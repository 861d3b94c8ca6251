// The JSON-RPC 2.0 wire of the automation runtime, shared by the server stub and the client
// proxy: value conversion driven by the type library, the message shapes and the limits.
#pragma once

#include <optional>
#include <string>

#include "rpc/com_types.h"
#include "rpc/json.h"
#include "rpc/type_library.h"

namespace vsk::wire {

// A request line longer than this is refused (and skipped up to its newline).
constexpr size_t kMaxLineBytes = 1024 * 1024;

// JSON argument -> VARIANT of the declared type. long takes a JSON integer that fits 32 bits
// (DISP_E_OVERFLOW when it does not), DATE any number, BSTR a string; anything else is
// DISP_E_TYPEMISMATCH.
HRESULT ArgFromJson(const Json& value, VarType type, VARIANT* out);
// VARIANT -> JSON: empty -> null, long -> integer, DATE/double -> number, BSTR -> string.
Json ToJson(const VARIANT& v);
// JSON value -> VARIANT without a declared type (the client's view of a result).
std::optional<VARIANT> FromJson(const Json& value);

// The description GetTypeInfo hands out: library, interface and members with parameters.
Json DescribeTypeInfo(const ITypeInfo& info);

Json Request(int64_t id, std::string method, Json params);
Json Result(const Json& id, Json result);
Json Error(const Json& id, HRESULT code, const std::string& message);

std::optional<InvokeKind> KindFromName(std::string_view kind);  // "method" | "get" | "put"

}  // namespace vsk::wire
