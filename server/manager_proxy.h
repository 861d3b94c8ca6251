// CVSKManagerDlgAutoProxy: the object behind each "VSKManager.Application" instance, the
// late-bound entry for scripts. It is itself a client of IVeskar: Init or InitEx creates a Veskar
// object through the platform (the class file or activation, or a named computer's TCP
// listener), exactly as a separate client program would, and every other member is forwarded to
// it. Results are plain values a script cannot mistake for a failure: 1 or 0, the value or 0
// (-1 for the key position), the text or an empty text.
//
// Threading: created, reference-counted and destroyed on the automation loop's thread. Its
// forwarded calls go over a socket, usually to this very server's loop, so they must never run
// on that loop: through InvokeAsync every member runs on the proxy's own worker thread and
// answers through `done`, while the loop serves the forwarded call. One call of a proxy is under
// way at a time (its connection waits for each reply) and the loop holds a reference while it
// is, so the proxy's own state is touched by one thread at a time. Called directly (in process),
// every member runs on the caller's thread.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "rpc/async_dispatch.h"
#include "rpc/manager_dispatch.h"

namespace vsk {

class CPortWorker;
class CRpcChannel;
class IOperatorUi;
class IVeskar;
class CVSKManagerDlgAutoProxy;

// How a proxy reaches a Veskar object. Each creates one object with one reference for the
// caller, or fails with the creation's status.
struct VeskarConnector {
    // On this computer.
    std::function<HRESULT(IDispatch** ppObj)> createLocal;
    // On the named computer ("host" or "host:port").
    std::function<HRESULT(const std::string& host, IDispatch** ppObj)> createRemote;
};

// The platform's way, through libvskclient: CreateInstance of the Veskar class (a running
// server's class file, or a server started for it) and CreateInstanceEx on a TCP listener with
// this user's token file.
VeskarConnector PlatformVeskarConnector();

// The operator window's end of the link with a proxy: while one is attached, closing the window
// only hides it. A server without a window has none.
class IProxyHost {
public:
    virtual void AttachProxy(CVSKManagerDlgAutoProxy* proxy) = 0;
    virtual void DetachProxy(CVSKManagerDlgAutoProxy* proxy) = 0;

protected:
    ~IProxyHost() = default;
};

class CVSKManagerDlgAutoProxy final : public IVSKManagerDispImpl, public IAsyncDispatch {
public:
    struct Links {
        VeskarConnector connector;     // empty members: PlatformVeskarConnector()
        IOperatorUi* ui = nullptr;     // where InitEx's messages go; none: headless (stderr)
        IProxyHost* window = nullptr;  // the operator window, if the server has one
    };

    // Takes one module lock for its lifetime and attaches to the window.
    explicit CVSKManagerDlgAutoProxy(Links links);
    static HRESULT CreateInstance(Links links, IDispatch** ppObj);

    HRESULT QueryInterface(const IID& riid, void** ppv) override;
    ULONG AddRef() override;
    ULONG Release() override;

    void InvokeAsync(DISPID dispId, InvokeKind kind, std::vector<VARIANT> args,
                     InvokeDone done) override;
    // The caller has gone: a forwarded call still waiting for its answer ends now (the
    // connection to the Veskar object is broken, which releases that object).
    void CancelInvoke() override;

    bool IsConnected() const { return m_veskar != nullptr; }

#define VSK_PROXY_DECL_Method(name, rtype, ...) \
    ::vsk::rtype name(VSK_PP_MAP(VSK_PP_SIG, __VA_ARGS__)) override;
#define VSK_PROXY_DECL_Property(name, rtype, ...) \
    ::vsk::rtype Get##name() override;            \
    void Put##name(::vsk::InArg<::vsk::rtype> value) override;
#define VSK_MEMBER(id, name, kind, rtype, help, ...) \
    VSK_PROXY_DECL_##kind(name, rtype __VA_OPT__(, ) __VA_ARGS__)
#include "rpc/manager_members.def"
#undef VSK_MEMBER
#undef VSK_PROXY_DECL_Method
#undef VSK_PROXY_DECL_Property

private:
    ~CVSKManagerDlgAutoProxy();

    // Takes the object a creation gave (one reference) as the connected object when it speaks
    // IVeskar; the object's reference is released either way.
    HRESULT Adopt(IDispatch* created);
    // Releases the connected object, if any.
    void Disconnect();
    void Show(const std::string& text);

    template <class F>
    LONG Truth(F&& call);
    template <class F>
    LONG Value(F&& call, LONG failure);
    template <class F>
    BSTR Text(F&& call);

    VeskarConnector m_connector;
    IOperatorUi* m_ui;
    std::unique_ptr<IOperatorUi> m_ownUi;
    IProxyHost* m_window;
    std::atomic<ULONG> m_refs{1};
    IVeskar* m_veskar = nullptr;  // the connected object
    // The connection the connected object lives on, to break it from another thread.
    std::mutex m_channelMutex;
    std::shared_ptr<CRpcChannel> m_channel;
    std::unique_ptr<CPortWorker> m_worker;  // made by the first InvokeAsync
};

}  // namespace vsk
