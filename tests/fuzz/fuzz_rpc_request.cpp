// Fuzzes the automation server's request handling: any bytes, split into lines, go through
// one connection, local or TCP as the first byte chooses. Every reply must be one JSON-RPC 2.0
// object on one line, and closing the connection must release every object it created. A TCP
// connection stays before authentication (the token is 64 random hex digits): there every reply
// is an error that ends the connection, never a result, and no object is ever created.
#include <stdlib.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>

#include "rpc/json.h"
#include "rpc/rpc_server.h"
#include "rpc/type_library.h"
#include "tests/rpc/recording_veskar.h"

namespace {

int g_created = 0;
int g_destroyed = 0;

vsk::CRpcServer& Server() {
    static vsk::CRpcServer* server = [] {
        char tmpl[] = "/tmp/vsk-fuzz-rpc-XXXXXX";
        auto* s = new vsk::CRpcServer(std::string(mkdtemp(tmpl)) + "/vskmanager");
        std::string error;
        // A real token, as a server listening on TCP has one.
        if (!s->ListenLocal(&error) ||
            !s->ListenTcp("127.0.0.1:0", std::string(tmpl) + "/tcp-token", &error)) {
            std::fprintf(stderr, "%s\n", error.c_str());
            abort();
        }
        vsk::ClassFactory f;
        f.clsid = vsk::typelib::CLSID_Veskar;
        f.progIds = {vsk::typelib::kVeskarVersionIndependentProgId};
        f.create = [](vsk::IDispatch** pp) {
            auto* obj = new vsk::test::RecordingVeskar;
            obj->destroyed = &g_destroyed;
            ++g_created;
            *pp = obj;
            return vsk::S_OK;
        };
        s->RegisterClassObject(f, &error);
        return s;
    }();
    return *server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    auto& server = Server();
    g_created = g_destroyed = 0;
    bool tcp = data[0] & 1;
    std::string_view input(reinterpret_cast<const char*>(data + 1), size - 1);
    int id = server.OpenTestConnection(tcp);
    while (!input.empty()) {
        size_t nl = input.find('\n');
        std::string_view line = input.substr(0, nl);
        input = nl == std::string_view::npos ? std::string_view() : input.substr(nl + 1);
        bool close = false;
        std::string reply = server.HandleTestLine(id, line, &close);
        if (!reply.empty()) {
            auto parsed = vsk::Json::Parse(reply);
            if (!parsed || reply.find('\n') != std::string::npos || !parsed->Find("jsonrpc"))
                abort();
            if (tcp && (parsed->Find("result") || !parsed->Find("error") || !close))
                abort();  // answered before authentication, or refused and left open
        }
        if (close)
            break;
    }
    server.CloseTestConnection(id);
    if (g_destroyed != g_created)
        abort();  // the connection's objects were all released
    if (tcp && g_created != 0)
        abort();  // an object made for an unauthenticated peer
    return 0;
}
