# Builds the HTTP API's document from http/openapi.json: the error words with their statuses and
# whether a retry is safe come from the failure table (resources/failures.def), and the routes
# and schemas of every part named in PARTS (JSON files with "paths" and "components/schemas",
# each written by whoever builds those routes) join the document's own. Writes the document
# (OUT_JSON, for the checks) and a C++ source that holds it (OUT_CPP), so that the server
# serves it without reading a file.
#
# The register's own words (a refusal carries them) are read from the engine's catalogue.
#
#   cmake -DTEMPLATE=... -DFAILURES=... -DSTATUS_WORDS=engine/error_catalogue.cpp
#         -DPARTS="a.json;b.json" -DOUT_JSON=... -DOUT_CPP=... -P openapi.cmake
cmake_minimum_required(VERSION 3.19)

file(READ "${TEMPLATE}" doc)
file(STRINGS "${FAILURES}" rows REGEX "^VSK_FAILURE\\(")
# The register's status words that end a call (its rows of kind E), as examples of its words.
file(READ "${STATUS_WORDS}" catalogue)
string(REGEX MATCHALL "\\{\"[A-Z0-9]+\", text::k[A-Za-z0-9]+, E\\}" errorRows "${catalogue}")
set(registerWords "")
foreach(entry IN LISTS errorRows)
  string(REGEX REPLACE "^\\{\"([A-Z0-9]+)\".*" "\\1" word "${entry}")
  if(NOT registerWords STREQUAL "")
    string(APPEND registerWords ", ")
  endif()
  string(APPEND registerWords "\"${word}\"")
endforeach()
if(registerWords STREQUAL "")
  message(FATAL_ERROR "openapi.cmake: no status word found in ${STATUS_WORDS}")
endif()

# One JSON text, its quotes, backslashes and line ends escaped.
function(json_string out text)
  string(REPLACE "\\" "\\\\" text "${text}")
  string(REPLACE "\"" "\\\"" text "${text}")
  string(REPLACE "\n" "\\n" text "${text}")
  set(${out} "\"${text}\"" PARENT_SCOPE)
endfunction()

set(choices "")
set(table "| word | HTTP | retry safe | kind | what |\n|---|---|---|---|---|\n")
foreach(row IN LISTS rows)
  if(NOT row MATCHES
     "^VSK_FAILURE\\(([A-Za-z0-9]+), \"([^\"]*)\", (0x[0-9A-Fa-f]+), ([0-9]+), (true|false)\\)[ ]*(//[ ]*(.*))?$")
    message(FATAL_ERROR "openapi.cmake: a row of ${FAILURES} it cannot read: ${row}")
  endif()
  set(name "${CMAKE_MATCH_1}")
  set(word "${CMAKE_MATCH_2}")
  set(hresult "${CMAKE_MATCH_3}")
  set(status "${CMAKE_MATCH_4}")
  set(safe "${CMAKE_MATCH_5}")
  set(what "${CMAKE_MATCH_7}")
  if(safe)
    set(safeText "yes")
  else()
    set(safeText "no: the register may have done it")
  endif()
  if(word STREQUAL "")
    # The register's own status word: any word of capitals and digits.
    set(pick "\"pattern\": \"^[A-Z0-9_]+$\", \"examples\": [${registerWords}]")
    set(shown "(the register's word)")
    if(what STREQUAL "")
      set(what "the register's own status word")
    endif()
  else()
    json_string(quoted "${word}")
    set(pick "\"const\": ${quoted}")
    set(shown "`${word}`")
  endif()
  set(about "HTTP ${status}; retry safe: ${safeText}")
  if(NOT what STREQUAL "")
    set(about "${what}. ${about}")
  endif()
  json_string(aboutJson "${about}")
  if(NOT choices STREQUAL "")
    string(APPEND choices ",\n")
  endif()
  string(APPEND choices
         "        {${pick}, \"title\": \"${name}\", \"description\": ${aboutJson}, "
         "\"x-vsk-status\": ${status}, \"x-vsk-retry-safe\": ${safe}, "
         "\"x-vsk-hresult\": \"${hresult}\"}")
  string(APPEND table "| ${shown} | ${status} | ${safeText} | ${name} | ${what} |\n")
endforeach()
json_string(tableJson
            "The word of a refusal. Each is one row of the server's failure table:\n\n${table}")
set(codes "{\n      \"type\": \"string\",\n      \"description\": ${tableJson},\n      \"anyOf\": [\n${choices}\n      ]\n    }")
string(REPLACE "\"@VSK_ERROR_CODES@\"" "${codes}" doc "${doc}")

# The parts' paths and schemas, as members in place of the markers.
set(partPaths "")
set(partSchemas "")
foreach(part IN LISTS PARTS)
  file(READ "${part}" text)
  foreach(section "paths" "components;schemas")
    string(JSON count ERROR_VARIABLE missing LENGTH "${text}" ${section})
    if(missing OR count EQUAL 0)
      continue()
    endif()
    math(EXPR last "${count} - 1")
    foreach(i RANGE ${last})
      string(JSON key MEMBER "${text}" ${section} ${i})
      string(JSON value GET "${text}" ${section} "${key}")
      json_string(keyJson "${key}")
      if(section STREQUAL "paths")
        string(APPEND partPaths "${keyJson}: ${value},\n")
      else()
        string(APPEND partSchemas "${keyJson}: ${value},\n")
      endif()
    endforeach()
  endforeach()
endforeach()
string(REPLACE "\"x-vsk-part-paths\": \"@VSK_PART_PATHS@\",\n" "${partPaths}" doc "${doc}")
string(REPLACE "\"x-vsk-part-schemas\": \"@VSK_PART_SCHEMAS@\",\n" "${partSchemas}" doc "${doc}")
if(doc MATCHES "@VSK_[A-Z_]+@")
  message(FATAL_ERROR "openapi.cmake: ${TEMPLATE} has a marker it does not fill: ${CMAKE_MATCH_0}")
endif()
# A document that is not JSON fails here, not in a client.
string(JSON ignored ERROR_VARIABLE broken TYPE "${doc}" "openapi")
if(broken)
  message(FATAL_ERROR "openapi.cmake: the document is not JSON: ${broken}")
endif()

file(WRITE "${OUT_JSON}.tmp" "${doc}")
file(COPY_FILE "${OUT_JSON}.tmp" "${OUT_JSON}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_JSON}.tmp")
set(cpp "// Made by http/openapi.cmake from http/openapi.json and resources/failures.def.\n")
string(APPEND cpp "#include \"http/openapi_document.h\"\n\nnamespace vsk {\n\n")
string(APPEND cpp "std::string_view OpenApiDocument() {\n")
string(APPEND cpp "    static constexpr char kDocument[] = R\"vskopenapi(${doc})vskopenapi\";\n")
string(APPEND cpp "    return {kDocument, sizeof kDocument - 1};\n}\n\n}  // namespace vsk\n")
file(WRITE "${OUT_CPP}.tmp" "${cpp}")
file(COPY_FILE "${OUT_CPP}.tmp" "${OUT_CPP}" ONLY_IF_DIFFERENT)
file(REMOVE "${OUT_CPP}.tmp")
