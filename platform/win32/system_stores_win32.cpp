// Windows backend of Windows' own stores (platform.h, ListRestorePoints,
// RemoveRestorePoint, DriverStoreLocation, UninstallDriverPackage): WMI
// through COM, srclient.dll and setupapi.dll loaded from the system folder
// only, each function looked up by name so that a system without it (or
// wine) answers "missing" instead of failing to start the program.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <objbase.h>
#include <oleauto.h>
#include <wbemidl.h>
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace tov {

namespace {

// A function of a DLL of the system folder, or nullptr with *error (the
// loader's code: 126 the DLL, 127 the function). The DLL stays loaded.
FARPROC SystemFunction(const wchar_t* dll, const char* name, uint32_t* error) {
  HMODULE m = LoadLibraryExW(dll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (!m) {
    *error = GetLastError();
    if (*error == 0) *error = ERROR_MOD_NOT_FOUND;
    return nullptr;
  }
  FARPROC f = GetProcAddress(m, name);
  if (!f) *error = ERROR_PROC_NOT_FOUND;
  return f;
}

// COM on the calling thread for the length of one call.
struct ComScope {
  HRESULT hr;
  ComScope() : hr(CoInitializeEx(nullptr, COINIT_MULTITHREADED)) {}
  ~ComScope() {
    if (SUCCEEDED(hr)) CoUninitialize();
  }
  // RPC_E_CHANGED_MODE: the thread has COM already, in another model; usable.
  bool Usable() const { return SUCCEEDED(hr) || hr == RPC_E_CHANGED_MODE; }
};

// A connection to one WMI namespace, its proxy allowed to impersonate.
HRESULT Connect(const wchar_t* ns, IWbemServices** svc) {
  *svc = nullptr;
  IWbemLocator* loc = nullptr;
  HRESULT hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                                reinterpret_cast<void**>(&loc));
  if (FAILED(hr)) return hr;
  BSTR name = SysAllocString(ns);
  hr = name ? loc->ConnectServer(name, nullptr, nullptr, nullptr, 0, nullptr, nullptr, svc)
            : E_OUTOFMEMORY;
  SysFreeString(name);
  loc->Release();
  if (FAILED(hr)) return hr;
  hr = CoSetProxyBlanket(*svc, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                         RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  if (FAILED(hr)) {
    (*svc)->Release();
    *svc = nullptr;
  }
  return hr;
}

// How long one object of a query may take to arrive.
constexpr LONG kWmiWaitMs = 60000;

// Runs a WQL query, calling each for every object it returns.
template <typename Each>
HRESULT Query(IWbemServices* svc, const wchar_t* wql, Each each) {
  BSTR lang = SysAllocString(L"WQL");
  BSTR text = SysAllocString(wql);
  IEnumWbemClassObject* en = nullptr;
  HRESULT hr = lang && text ? svc->ExecQuery(lang, text,
                                             WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                             nullptr, &en)
                            : E_OUTOFMEMORY;
  SysFreeString(lang);
  SysFreeString(text);
  if (FAILED(hr)) return hr;
  CoSetProxyBlanket(en, RPC_C_AUTHN_WINNT, RPC_C_AUTHZ_NONE, nullptr, RPC_C_AUTHN_LEVEL_CALL,
                    RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE);
  for (;;) {
    IWbemClassObject* obj = nullptr;
    ULONG got = 0;
    // A WMI that does not answer within the time is a failure, never a
    // shorter list.
    hr = en->Next(kWmiWaitMs, 1, &obj, &got);
    if (hr == WBEM_S_TIMEDOUT) hr = WBEM_E_TIMED_OUT;
    if (FAILED(hr) || got == 0) break;
    each(obj);
    obj->Release();
  }
  en->Release();
  return FAILED(hr) ? hr : S_OK;
}

// A property as text (a BSTR, or a number WMI gives as text: uint64 is a
// BSTR in WMI's automation types); false for any other type or NULL.
bool TextOf(IWbemClassObject* obj, const wchar_t* name, std::wstring* out) {
  VARIANT v;
  VariantInit(&v);
  bool ok = SUCCEEDED(obj->Get(name, 0, &v, nullptr, nullptr)) && v.vt == VT_BSTR && v.bstrVal;
  if (ok) *out = std::wstring(v.bstrVal, SysStringLen(v.bstrVal));
  VariantClear(&v);
  return ok;
}

bool NumberOf(IWbemClassObject* obj, const wchar_t* name, uint64_t* out) {
  VARIANT v;
  VariantInit(&v);
  bool ok = SUCCEEDED(obj->Get(name, 0, &v, nullptr, nullptr));
  if (ok) {
    switch (v.vt) {
      case VT_I4:
        ok = v.lVal >= 0;
        *out = static_cast<uint64_t>(v.lVal);
        break;
      case VT_UI4:
        *out = v.ulVal;
        break;
      case VT_BSTR: {  // uint64 properties
        ok = v.bstrVal && v.bstrVal[0];
        uint64_t n = 0;
        for (const wchar_t* p = v.bstrVal; ok && *p; ++p) {
          ok = *p >= L'0' && *p <= L'9' && n <= (UINT64_MAX - 9) / 10;
          n = n * 10 + static_cast<uint64_t>(*p - L'0');
        }
        *out = n;
        break;
      }
      default:
        ok = false;
    }
  }
  VariantClear(&v);
  return ok;
}

// Text with its ASCII letters lowered (a GUID's hex digits).
std::wstring Lowered(std::wstring s) {
  for (wchar_t& c : s) c = LowerAscii(c);
  return s;
}

// The volume GUID path of C:\ ("\\?\Volume{...}\"), which
// Win32_ShadowStorage's Volume reference names.
std::wstring VolumeOfC() {
  wchar_t buf[64] = {0};
  if (!GetVolumeNameForVolumeMountPointW(L"C:\\", buf, 64)) return std::wstring();
  return buf;
}

}  // namespace

void ListRestorePoints(RestorePointList* out) {
  *out = RestorePointList();
  ComScope com;
  if (!com.Usable()) {
    out->error = static_cast<uint32_t>(com.hr);
    out->shadowError = out->error;
    return;
  }
  IWbemServices* svc = nullptr;
  HRESULT hr = Connect(L"ROOT\\DEFAULT", &svc);
  if (SUCCEEDED(hr)) {
    hr = Query(svc, L"SELECT SequenceNumber, Description, CreationTime FROM SystemRestore",
               [&](IWbemClassObject* obj) {
                 RestorePoint p;
                 uint64_t n = 0;
                 p.sequenceKnown = NumberOf(obj, L"SequenceNumber", &n) && n <= UINT32_MAX;
                 p.sequence = static_cast<uint32_t>(n);
                 TextOf(obj, L"Description", &p.description);
                 TextOf(obj, L"CreationTime", &p.creationTime);
                 out->points.push_back(p);
               });
    svc->Release();
  }
  if (FAILED(hr)) {
    out->error = static_cast<uint32_t>(hr);
    out->points.clear();
  }
  // The shadow storage of C:, matched by the GUID of its volume.
  std::wstring guid = VolumeOfC();
  const DWORD volumeError = guid.empty() ? GetLastError() : 0;
  size_t brace = guid.find(L'{'), close = guid.find(L'}');
  guid = brace != std::wstring::npos && close != std::wstring::npos && close > brace
             ? Lowered(guid.substr(brace, close - brace + 1))
             : std::wstring();
  if (guid.empty()) {
    out->shadowError = volumeError ? static_cast<uint32_t>(HRESULT_FROM_WIN32(volumeError))
                                   : static_cast<uint32_t>(E_FAIL);
    return;
  }
  hr = Connect(L"ROOT\\CIMV2", &svc);
  if (SUCCEEDED(hr)) {
    hr = Query(svc, L"SELECT Volume, UsedSpace FROM Win32_ShadowStorage",
               [&](IWbemClassObject* obj) {
                 // Volume is a reference, Win32_Volume.DeviceID="\\\\?\\Volume{...}\\"
                 // with its backslashes doubled: the GUID tells the volume.
                 std::wstring ref;
                 uint64_t used = 0;
                 if (TextOf(obj, L"Volume", &ref) && NumberOf(obj, L"UsedSpace", &used) &&
                     Lowered(ref).find(guid) != std::wstring::npos)
                   out->shadowUsed += used;
               });
    svc->Release();
  }
  // No shadow storage on C: is a known figure: none used.
  out->shadowKnown = SUCCEEDED(hr);
  if (FAILED(hr)) {
    out->shadowUsed = 0;
    out->shadowError = static_cast<uint32_t>(hr);
  }
}

bool RemoveRestorePoint(uint32_t sequence, uint32_t* error) {
  using Remove = DWORD(WINAPI*)(DWORD);
  auto fn = reinterpret_cast<Remove>(
      reinterpret_cast<void*>(SystemFunction(L"srclient.dll", "SRRemoveRestorePoint", error)));
  if (!fn) return false;
  *error = fn(sequence);
  return true;
}

bool DriverStoreLocation(const std::wstring& infPath, std::wstring* storeInf, uint32_t* error) {
  storeInf->clear();
  using Locate = BOOL(WINAPI*)(PCWSTR, const void*, PCWSTR, PWSTR, DWORD, PDWORD);
  auto fn = reinterpret_cast<Locate>(reinterpret_cast<void*>(
      SystemFunction(L"setupapi.dll", "SetupGetInfDriverStoreLocationW", error)));
  if (!fn) return false;
  wchar_t buf[MAX_PATH + 1] = {0};
  DWORD need = 0;
  if (!fn(infPath.c_str(), nullptr, nullptr, buf, MAX_PATH + 1, &need)) {
    *error = GetLastError();
    if (*error == ERROR_INSUFFICIENT_BUFFER && need > MAX_PATH + 1 && need < 32768) {
      std::wstring big(need, L'\0');
      if (fn(infPath.c_str(), nullptr, nullptr, &big[0], need, &need)) {
        big.resize(wcsnlen(big.c_str(), big.size()));
        *storeInf = big;
        *error = 0;
        return true;
      }
      *error = GetLastError();
    }
    if (*error == 0) *error = ERROR_GEN_FAILURE;
    return false;
  }
  *storeInf = buf;
  *error = 0;
  return !storeInf->empty();
}

bool UninstallDriverPackage(const std::wstring& infName, FsFault* fault) {
  using Uninstall = BOOL(WINAPI*)(PCWSTR, DWORD, PVOID);
  uint32_t error = 0;
  auto fn = reinterpret_cast<Uninstall>(
      reinterpret_cast<void*>(SystemFunction(L"setupapi.dll", "SetupUninstallOEMInfW", &error)));
  if (!fn) {
    *fault = FsFault(FsFault::Other, error);
    return false;
  }
  // Flags 0: never SUOI_FORCEDELETE; Windows refuses a package a device uses.
  if (fn(infName.c_str(), 0, nullptr)) return true;
  *fault = FaultOfSystemCode(GetLastError());
  return false;
}

}  // namespace tov
