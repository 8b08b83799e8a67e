#include "app/accessible_status.h"

#include "app/system_queries.h"
#include "sys/unique_resource.h"

#include <ole2.h>
#include <oleacc.h>

#include <new>
#include <utility>

namespace gui {
namespace {

// Declared here: the SDK headers give them only for Windows 8 and later, or not at all.
constexpr DWORD LiveRegionChanged = 0x8019; // EVENT_OBJECT_LIVEREGIONCHANGED
constexpr LONG AssertiveLiveSetting = 2;
constexpr GUID LiveSettingProperty = {0xc12bcd8e, 0x2a8e, 0x4950, {0x8a, 0xe7, 0x36, 0x25, 0x11, 0x1d, 0x58, 0xeb}};
constexpr GUID AccPropServicesClass = {0xb5f8350b, 0x0548, 0x48b1, {0xa6, 0xee, 0x88, 0xbd, 0x00, 0xb4, 0xa5, 0xe7}};
constexpr GUID AccPropServicesInterface = {0x6e26e776, 0x04f0, 0x495d, {0x80, 0xe4, 0x33, 0x30, 0x35, 0x2e, 0x31, 0x69}};

template <typename I>
void ReleaseInterface(I* pointer) noexcept
{
    pointer->Release();
}

template <typename I>
using UniqueInterface = sys::UniqueResource<I*, &ReleaseInterface<I>>;

struct Status {
    std::wstring text;
    bool alert = false;
};

bool IsSelf(const VARIANT& child) noexcept
{
    return child.vt == VT_I4 && child.lVal == CHILDID_SELF;
}

// The client area as a static text named with the painted text. Everything but the name, the
// role and the state comes from the standard client object: location, parent, hit testing,
// navigation, the progress bar as a child. Lives on the window's thread, which alone calls it.
class StatusObject final : public IAccessible {
public:
    StatusObject(const Status& status, UniqueInterface<IAccessible> standard) noexcept
        : status_(&status)
        , standard_(std::move(standard))
    {
    }

    // Forgets the window's state; calls that still arrive get an error.
    void Detach() noexcept
    {
        status_ = nullptr;
        standard_.Reset();
    }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** object) noexcept override
    {
        if (!object)
            return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) || iid == __uuidof(IAccessible)) {
            *object = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *object = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() noexcept override { return static_cast<ULONG>(::InterlockedIncrement(&references_)); }
    ULONG STDMETHODCALLTYPE Release() noexcept override
    {
        const LONG left = ::InterlockedDecrement(&references_);
        if (left == 0)
            delete this;
        return static_cast<ULONG>(left);
    }

    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT*) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) noexcept override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*, UINT*) noexcept override
    {
        return E_NOTIMPL;
    }

    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) noexcept override
    {
        if (!IsSelf(child))
            return Standard(&IAccessible::get_accName, child, name);
        if (!name)
            return E_POINTER;
        *name = nullptr;
        if (!status_)
            return CO_E_OBJNOTCONNECTED;
        *name = ::SysAllocStringLen(status_->text.data(), static_cast<UINT>(status_->text.size()));
        return *name ? S_OK : E_OUTOFMEMORY;
    }

    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) noexcept override
    {
        if (!IsSelf(child))
            return Standard(&IAccessible::get_accRole, child, role);
        if (!role)
            return E_POINTER;
        role->vt = VT_EMPTY;
        if (!status_)
            return CO_E_OBJNOTCONNECTED;
        role->vt = VT_I4;
        role->lVal = ROLE_SYSTEM_STATICTEXT;
        return S_OK;
    }

    // The standard client's state (visibility, focus), with the alert while a failure shows.
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) noexcept override
    {
        if (!IsSelf(child))
            return Standard(&IAccessible::get_accState, child, state);
        if (!state)
            return E_POINTER;
        state->vt = VT_EMPTY;
        if (!status_ || !standard_)
            return CO_E_OBJNOTCONNECTED;
        VARIANT standardState;
        standardState.vt = VT_EMPTY;
        LONG bits = 0;
        if (SUCCEEDED(standard_.Get()->get_accState(child, &standardState)) && standardState.vt == VT_I4)
            bits = standardState.lVal;
        ::VariantClear(&standardState);
        state->vt = VT_I4;
        state->lVal = bits | (status_->alert ? STATE_SYSTEM_ALERT_HIGH : 0);
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) noexcept override
    {
        return Standard(&IAccessible::get_accParent, parent);
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(LONG* count) noexcept override
    {
        return Standard(&IAccessible::get_accChildCount, count);
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** object) noexcept override
    {
        return Standard(&IAccessible::get_accChild, child, object);
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) noexcept override
    {
        return Standard(&IAccessible::get_accValue, child, value);
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* description) noexcept override
    {
        return Standard(&IAccessible::get_accDescription, child, description);
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT child, BSTR* help) noexcept override
    {
        return Standard(&IAccessible::get_accHelp, child, help);
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT child, LONG* topic) noexcept override
    {
        return Standard(&IAccessible::get_accHelpTopic, file, child, topic);
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* shortcut) noexcept override
    {
        return Standard(&IAccessible::get_accKeyboardShortcut, child, shortcut);
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* child) noexcept override
    {
        return Standard(&IAccessible::get_accFocus, child);
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* children) noexcept override
    {
        return Standard(&IAccessible::get_accSelection, children);
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) noexcept override
    {
        return Standard(&IAccessible::get_accDefaultAction, child, action);
    }
    HRESULT STDMETHODCALLTYPE accSelect(LONG flags, VARIANT child) noexcept override
    {
        return Standard(&IAccessible::accSelect, flags, child);
    }
    HRESULT STDMETHODCALLTYPE accLocation(LONG* left, LONG* top, LONG* width, LONG* height, VARIANT child) noexcept override
    {
        return Standard(&IAccessible::accLocation, left, top, width, height, child);
    }
    HRESULT STDMETHODCALLTYPE accNavigate(LONG direction, VARIANT start, VARIANT* end) noexcept override
    {
        return Standard(&IAccessible::accNavigate, direction, start, end);
    }
    HRESULT STDMETHODCALLTYPE accHitTest(LONG x, LONG y, VARIANT* child) noexcept override
    {
        return Standard(&IAccessible::accHitTest, x, y, child);
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) noexcept override
    {
        return Standard(&IAccessible::accDoDefaultAction, child);
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT child, BSTR name) noexcept override
    {
        return Standard(&IAccessible::put_accName, child, name);
    }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT child, BSTR value) noexcept override
    {
        return Standard(&IAccessible::put_accValue, child, value);
    }

private:
    ~StatusObject() = default;

    // The standard client object's answer; an error once the window has gone.
    template <typename Method, typename... Arguments>
    HRESULT Standard(Method method, Arguments... arguments) noexcept
    {
        return standard_ ? (standard_.Get()->*method)(arguments...) : CO_E_OBJNOTCONNECTED;
    }

    LONG references_ = 1;
    const Status* status_;
    UniqueInterface<IAccessible> standard_;
};

} // namespace

void ComApartment::Enter() noexcept
{
    if (!entered)
        entered = SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE));
}

void ComApartment::Leave() noexcept
{
    if (entered)
        ::CoUninitialize();
    entered = false;
}

ComApartment::~ComApartment()
{
    Leave();
}

struct AccessibleStatus::State {
    HWND window = nullptr;
    Status status;
    // UI Automation's live regions exist from Windows 10 on.
    bool liveRegions = false;
    UniqueInterface<StatusObject> object;
    // Null once the annotation service has refused a call: Wine's refuses every one.
    UniqueInterface<IAccPropServices> annotations;
};

AccessibleStatus::AccessibleStatus(HWND window, const std::wstring& text, bool alert)
    : state(std::make_unique<State>())
{
    state->window = window;
    state->status = {text, alert};
    const auto version = sys::OsVersion();
    state->liveRegions = version && version->major >= 10;
}

void AccessibleStatus::MarkLiveRegion() noexcept
{
    // The client becomes an assertive live region: a screen reader speaks each change at once.
    if (FAILED(::CoCreateInstance(AccPropServicesClass, nullptr, CLSCTX_INPROC_SERVER, AccPropServicesInterface,
            reinterpret_cast<void**>(state->annotations.Put()))))
        return;
    VARIANT assertive;
    assertive.vt = VT_I4;
    assertive.lVal = AssertiveLiveSetting;
    if (FAILED(state->annotations.Get()->SetHwndProp(state->window, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF,
            LiveSettingProperty, assertive)))
        state->annotations.Reset();
}

AccessibleStatus::~AccessibleStatus()
{
    if (state->annotations) {
        MSAAPROPID property = LiveSettingProperty;
        state->annotations.Get()->ClearHwndProps(state->window, static_cast<DWORD>(OBJID_CLIENT), CHILDID_SELF, &property, 1);
    }
    if (state->object) {
        // A client that still holds the object gets an error at once, never a wait on a
        // thread that no longer answers (with /wait the process lives on without a window).
        state->object.Get()->Detach();
        ::CoDisconnectObject(static_cast<IAccessible*>(state->object.Get()), 0);
    }
}

bool AccessibleStatus::Answer(WPARAM wParam, LPARAM lParam, LRESULT& answer) noexcept
{
    // The identifier is a DWORD: a 64-bit sender's lParam may carry it sign-extended.
    if (static_cast<DWORD>(lParam) != static_cast<DWORD>(OBJID_CLIENT))
        return false;
    // The object and the live region only once a screen reader asks: a run that nobody reads
    // makes neither.
    if (!state->object) {
        // Before the object is handed out: whoever reads it finds the client marked already.
        if (state->liveRegions)
            MarkLiveRegion();
        UniqueInterface<IAccessible> standard;
        if (FAILED(::CreateStdAccessibleObject(state->window, OBJID_CLIENT, __uuidof(IAccessible),
                reinterpret_cast<void**>(standard.Put()))))
            return false;
        state->object.Reset(new (std::nothrow) StatusObject(state->status, std::move(standard)));
        if (!state->object)
            return false;
    }
    const LRESULT result = ::LresultFromObject(__uuidof(IAccessible), wParam, static_cast<IAccessible*>(state->object.Get()));
    if (FAILED(static_cast<HRESULT>(result)))
        return false;
    answer = result;
    return true;
}

void AccessibleStatus::Update(std::wstring text, bool alert) noexcept
{
    Status& status = state->status;
    if (text == status.text && alert == status.alert)
        return;
    const bool alertChanged = alert != status.alert;
    status.text = std::move(text);
    status.alert = alert;

    const HWND window = state->window;
    if (alertChanged)
        ::NotifyWinEvent(EVENT_OBJECT_STATECHANGE, window, OBJID_CLIENT, CHILDID_SELF);
    ::NotifyWinEvent(EVENT_OBJECT_NAMECHANGE, window, OBJID_CLIENT, CHILDID_SELF);
    if (state->liveRegions)
        ::NotifyWinEvent(LiveRegionChanged, window, OBJID_CLIENT, CHILDID_SELF);
    if (alertChanged && alert)
        ::NotifyWinEvent(EVENT_SYSTEM_ALERT, window, OBJID_CLIENT, CHILDID_SELF);
}

} // namespace gui
