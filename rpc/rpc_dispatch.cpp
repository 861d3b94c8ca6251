// Dispatch: a request line is checked as JSON-RPC 2.0 and served by its method's row of one
// table (who may call it, whether it acts on an object of the connection, its handler); an
// Invoke that goes on elsewhere is answered when its end comes back.
#include <unistd.h>

#include <atomic>
#include <cstdint>

#include "rpc/failure_detail.h"
#include "rpc/rpc_server.h"
#include "rpc/type_library.h"
#include "rpc/wire.h"

namespace vsk {

std::string CRpcServer::HandleLine(Connection& c, std::string_view line, bool* close) {
    if (!line.empty() && line.back() == '\r')
        line.remove_suffix(1);
    if (line.find_first_not_of(" \t") == std::string_view::npos)
        return {};
    std::string parseError;
    auto req = Json::Parse(line, &parseError);
    if (!req) {
        if (c.tcp && !c.authenticated)
            *close = true;
        return wire::Error(Json(), RPC_E_INVALID_DATA, "malformed JSON: " + parseError).Dump();
    }
    const Json* id = req->Find("id");
    Json replyId = id ? *id : Json();
    const Json* version = req->Find("jsonrpc");
    const Json* method = req->Find("method");
    const Json* params = req->Find("params");
    if (!req->IsObject() || !version || !version->IsString() || version->AsString() != "2.0" ||
        !method || !method->IsString() || (params && !params->IsObject() && !params->IsNull()) ||
        (id && !id->IsString() && !id->IsNumber() && !id->IsNull())) {
        if (c.tcp && !c.authenticated)
            *close = true;
        return wire::Error(replyId, RPC_E_INVALID_DATA, "not a JSON-RPC 2.0 request").Dump();
    }
    static const Json kNoParams = Json(Json::Object{});
    Request r{c, params && params->IsObject() ? *params : kNoParams};
    Json result = Dispatch(r, method->AsString());
    if (r.close)
        *close = true;
    if (r.pending) {  // answered when the call has ended
        c.call.id = std::move(replyId);
        c.call.notification = !id;
        return {};
    }
    if (!id)
        return {};  // a notification
    if (FAILED(r.error))
        return wire::Error(replyId, r.error, r.message.empty() ? HResultName(r.error) : r.message)
            .Dump();
    return wire::Result(replyId, std::move(result)).Dump();
}

Json CRpcServer::Dispatch(Request& r, const std::string& method) {
    struct Method {
        std::string_view name;
        bool beforeAuthentication;  // a TCP peer may call it before authenticating
        bool onObject;              // acts on the object of the connection named by "object"
        Json (CRpcServer::*serve)(Request&);
    };
    static constexpr Method kMethods[] = {
        {"Authenticate", true, false, &CRpcServer::Authenticate},
        {"CreateInstance", false, false, &CRpcServer::CreateInstance},
        {"Release", false, true, &CRpcServer::ReleaseObject},
        {"GetTypeInfo", false, true, &CRpcServer::DescribeObject},
        {"GetIDsOfNames", false, true, &CRpcServer::NamesToIds},
        {"Invoke", false, true, &CRpcServer::InvokeMember},
    };
    const Method* row = nullptr;
    for (const Method& m : kMethods)
        if (m.name == method)
            row = &m;
    if (!(row && row->beforeAuthentication) && r.c.tcp && !r.c.authenticated)
        return Refuse(r, "authenticate first");
    if (!row)
        return r.Fail(DISP_E_MEMBERNOTFOUND, "unknown method " + method);
    if (row->onObject && !FindObject(r))
        return Json();
    return (this->*row->serve)(r);
}

bool CRpcServer::FindObject(Request& r) {
    const Json* object = r.params.Find("object");
    if (!object || !object->IsInt()) {
        r.Fail(E_INVALIDARG, "missing object handle");
        return false;
    }
    auto found = r.c.objects.find(int(object->AsInt()));
    if (object->AsInt() < 0 || object->AsInt() > INT32_MAX || found == r.c.objects.end()) {
        r.Fail(RPC_E_DISCONNECTED, "unknown object " + std::to_string(object->AsInt()));
        return false;
    }
    if (FAILED(found->second->GetTypeInfo(0, &r.info)) || !r.info) {
        r.Fail(E_UNEXPECTED, "no type info");
        return false;
    }
    r.handle = found->first;
    r.obj = found->second;
    return true;
}

Json CRpcServer::CreateInstance(Request& r) {
    const Json* clsid = r.params.Find("clsid");
    const Json* progid = r.params.Find("progid");
    const ClassFactory* factory = nullptr;
    std::optional<GUID> wanted;
    if (clsid && clsid->IsString())
        wanted = GuidFromString(clsid->AsString());
    if (!wanted && !(progid && progid->IsString()))
        return r.Fail(E_INVALIDARG, "give a clsid or a progid");
    for (const auto& f : m_classes) {
        if (wanted && f.clsid == *wanted)
            factory = &f;
        if (!wanted)
            for (const auto& p : f.progIds)
                if (EqualNoCase(p, progid->AsString()))
                    factory = &f;
        if (factory)
            break;
    }
    if (!factory)
        return r.Fail(REGDB_E_CLASSNOTREG, "class not served here");
    // Before a single-use class is revoked: a refused creation leaves it for the next client.
    if (r.c.objects.size() >= kMaxObjects)
        return r.Fail(E_OUTOFMEMORY, "too many objects in this session (" +
                                         std::to_string(kMaxObjects) + "); release some");
    ClassFactory f = *factory;  // the factory may revoke itself while creating
    if (f.singleUse)
        RevokeClassObject(f.clsid);
    IDispatch* obj = nullptr;
    HRESULT hr = f.create ? f.create(&obj) : E_NOTIMPL;
    if (FAILED(hr) || !obj)
        return r.Fail(FAILED(hr) ? hr : E_FAIL, "creation failed");
    int handle = r.c.nextObject++;
    r.c.objects[handle] = obj;
    return Json(Json::Object{{"object", int64_t(handle)}});
}

Json CRpcServer::ReleaseObject(Request& r) {
    r.c.objects.erase(r.handle);
    ULONG refs = r.obj->Release();
    return Json(Json::Object{{"refs", int64_t(refs)}});
}

Json CRpcServer::DescribeObject(Request& r) {
    return wire::DescribeTypeInfo(*r.info);
}

Json CRpcServer::NamesToIds(Request& r) {
    const Json* names = r.params.Find("names");
    if (!names || !names->IsArray())
        return r.Fail(E_INVALIDARG, "names must be an array");
    Json::Array ids;
    for (const Json& n : names->AsArray()) {
        if (!n.IsString())
            return r.Fail(DISP_E_TYPEMISMATCH, "names must be strings");
        DISPID dispId = -1;
        auto wide = Utf8ToUtf16(n.AsString());
        if (!wide || FAILED(r.obj->GetIDsOfNames(*wide, &dispId)))
            return r.Fail(DISP_E_UNKNOWNNAME, "unknown name " + n.AsString());
        ids.emplace_back(int64_t(dispId));
    }
    return Json(Json::Object{{"dispids", Json(std::move(ids))}});
}

// The member an Invoke names by "dispid" or "name"; nullptr once the request has failed.
const MemberDesc* CRpcServer::FindMember(Request& r) {
    const Json* dispid = r.params.Find("dispid");
    const Json* name = r.params.Find("name");
    const MemberDesc* member = nullptr;
    if (dispid && dispid->IsInt()) {
        if (dispid->AsInt() >= INT32_MIN && dispid->AsInt() <= INT32_MAX)
            member = r.info->FindByDispId(DISPID(dispid->AsInt()));
        if (!member)
            r.Fail(DISP_E_MEMBERNOTFOUND, "unknown dispid");
    } else if (name && name->IsString()) {
        member = r.info->FindByName(name->AsString());
        if (!member)
            r.Fail(DISP_E_UNKNOWNNAME, "unknown member " + name->AsString());
    } else {
        r.Fail(E_INVALIDARG, "give a dispid or a name");
    }
    return member;
}

// The kind and the arguments of an Invoke of `member`, converted to what it expects (its
// inputs, or the property value for a put); false once the request has failed.
bool CRpcServer::InvokeArgs(Request& r, const MemberDesc& member, InvokeKind* kind,
                            std::vector<VARIANT>* values) {
    *kind = InvokeKind::Method;
    if (const Json* k = r.params.Find("kind")) {
        auto parsed = k->IsString() ? wire::KindFromName(k->AsString()) : std::nullopt;
        if (!parsed) {
            r.Fail(E_INVALIDARG, "kind is method, get or put");
            return false;
        }
        *kind = *parsed;
    }
    static const Json kNoArgs = Json(Json::Array{});
    const Json* args = r.params.Find("args");
    if (args && !args->IsArray()) {
        r.Fail(E_INVALIDARG, "args must be an array");
        return false;
    }
    const Json::Array& list = (args ? *args : kNoArgs).AsArray();
    std::vector<VarType> types;
    if (*kind == InvokeKind::PropertyPut)
        types.push_back(member.result);
    else
        for (const ParamDesc& p : member.Params())
            if (p.dir != ParamDir::RetVal)
                types.push_back(p.type);
    if (list.size() != types.size()) {
        r.Fail(DISP_E_BADPARAMCOUNT, std::string(member.name) + " takes " +
                                         std::to_string(types.size()) + " argument(s)");
        return false;
    }
    values->resize(list.size());
    for (size_t i = 0; i < list.size(); ++i) {
        if (HRESULT hr = wire::ArgFromJson(list[i], types[i], &(*values)[i]); FAILED(hr)) {
            r.Fail(hr, "argument " + std::to_string(i + 1) + " of " + member.name);
            return false;
        }
    }
    return true;
}

Json CRpcServer::InvokeMember(Request& r) {
    const MemberDesc* member = FindMember(r);
    InvokeKind kind;
    std::vector<VARIANT> values;
    if (!member || !InvokeArgs(r, *member, &kind, &values))
        return Json();
    IAsyncDispatch* async = nullptr;
    if (FAILED(r.obj->QueryInterface(IID_IAsyncDispatch, reinterpret_cast<void**>(&async))) ||
        !async) {
        VARIANT result;
        HRESULT hr =
            r.obj->Invoke(member->dispid, kind, values.data(), unsigned(values.size()), &result);
        return InvokeResult(r.obj, member->name, hr, result, &r.error, &r.message);
    }
    return InvokeLater(r, async, *member, kind, std::move(values));
}

// The call goes on elsewhere; the object stays referenced until it has ended.
Json CRpcServer::InvokeLater(Request& r, IAsyncDispatch* async, const MemberDesc& member,
                             InvokeKind kind, std::vector<VARIANT> args) {
    IDispatch* obj = r.obj;
    obj->AddRef();
    int connection = r.c.id;
    // While InvokeAsync runs, an end on this thread is taken below without a wake-up.
    auto returned = std::make_shared<std::atomic<bool>>(false);
    async->InvokeAsync(member.dispid, kind, std::move(args),
                       [this, connection, returned](HRESULT hr, VARIANT result) {
                           PostCompletion({connection, hr, std::move(result)}, returned->load());
                       });
    returned->store(true);
    if (auto done = TakeCompletion(connection)) {
        async->Release();
        obj->Release();
        return InvokeResult(obj, member.name, done->hr, done->result, &r.error, &r.message);
    }
    r.c.busy = true;
    r.c.call.obj = obj;
    r.c.call.async = async;
    r.c.call.member = member.name;
    r.pending = true;
    return Json();
}

Json CRpcServer::InvokeResult(IDispatch* obj, const char* member, HRESULT hr, const VARIANT& result,
                              HRESULT* error, std::string* message) {
    if (hr == DISP_E_MEMBERNOTFOUND || hr == DISP_E_BADPARAMCOUNT || hr == DISP_E_TYPEMISMATCH) {
        *error = hr;
        *message = HResultName(hr) + ": cannot invoke " + member;
        return Json();
    }
    Json out;
    out.Set("hr", int64_t(hr));
    out.Set("value", wire::ToJson(result));
    // A failed method says why when its object knows, and so does one whose result is in
    // doubt although it succeeded.
    IFailureDetail* details = nullptr;
    if (SUCCEEDED(obj->QueryInterface(IID_IFailureDetail, reinterpret_cast<void**>(&details))) &&
        details) {
        FailureDetail detail;
        if (details->TakeFailureDetail(&detail)) {
            Json why;
            why.Set("code", detail.code);
            why.Set("message", detail.message);
            if (!detail.outcome.empty())
                why.Set("outcome", detail.outcome);
            if (!detail.kind.empty()) {
                why.Set("kind", detail.kind);
                why.Set("retrySafe", detail.retrySafe);
            }
            out.Set("error", std::move(why));
        }
        details->Release();
    }
    return out;
}

void CRpcServer::PostCompletion(Completion done, bool wake) {
    {
        std::lock_guard lock(m_doneMutex);
        m_done.push_back(std::move(done));
    }
    if (wake)
        Wake();
}

std::optional<CRpcServer::Completion> CRpcServer::TakeCompletion(int connection) {
    std::lock_guard lock(m_doneMutex);
    for (auto it = m_done.begin(); it != m_done.end(); ++it) {
        if (it->connection == connection) {
            Completion done = std::move(*it);
            m_done.erase(it);
            return done;
        }
    }
    return std::nullopt;
}

void CRpcServer::DrainCompletions() {
    uint64_t count;
    (void)!read(m_wakeFd, &count, sizeof count);
    TakeSessionPosts();
    std::deque<Completion> done;
    {
        std::lock_guard lock(m_doneMutex);
        done.swap(m_done);
    }
    for (Completion& d : done) {
        auto it = m_connections.find(d.connection);
        if (it == m_connections.end() || !it->second->busy)
            continue;
        Connection& c = *it->second;
        Connection::Call call = std::move(c.call);
        c.call = {};
        c.busy = false;
        HRESULT hr = S_OK;
        std::string message;
        Json result = InvokeResult(call.obj, call.member, d.hr, d.result, &hr, &message);
        std::string line;
        if (!call.notification && !c.closing) {
            Json reply =
                FAILED(hr) ? wire::Error(call.id, hr, message) : wire::Result(call.id, result);
            line = reply.Dump();
            if (c.session.empty())
                c.out += line + "\n";
        }
        call.async->Release();
        call.obj->Release();
        if (!c.session.empty()) {
            FinishSessionLine(c, std::move(line));
            continue;
        }
        Resume(d.connection);
    }
}

}  // namespace vsk
