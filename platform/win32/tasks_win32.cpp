// Windows backend of the scheduled-task seam: the definition of a task read
// from the Task Scheduler through its COM interface (ITaskService), which is
// also what schtasks.exe itself uses. taskschd.dll is reached through COM's
// registration (its full path in the system folder), never imported.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
// oleauto.h and taskschd.h need the types of windows.h.
#include <oleauto.h>
#include <taskschd.h>

#include <string>

#include "platform/platform.h"

namespace tov {
namespace {

// The class and interface of the Task Scheduler, spelled here so that no
// import library of taskschd.dll is needed.
const CLSID kClsidTaskScheduler = {
    0x0f87369f, 0xa4e5, 0x4cfc, {0xbd, 0x3e, 0x73, 0xe6, 0x15, 0x45, 0x72, 0xdd}};
const IID kIidTaskService = {
    0x2faba4c7, 0x4da9, 0x4013, {0x96, 0x97, 0x20, 0xcc, 0x3f, 0xd4, 0x0f, 0x85}};

template <typename T>
void Release(T*& p) {
  if (p) p->Release();
  p = nullptr;
}

}  // namespace

bool ReadScheduledTaskXml(const std::wstring& name, std::string* xml) {
  xml->clear();
  size_t cut = name.rfind(L'\\');
  std::wstring folderPath = L"\\" + (cut == std::wstring::npos ? L"" : name.substr(0, cut));
  std::wstring taskName = cut == std::wstring::npos ? name : name.substr(cut + 1);
  // A thread of its own: the caller's thread may already be in another
  // apartment, and COM stays initialised only as long as this call.
  bool found = false;
  HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ITaskService* service = nullptr;
  ITaskFolder* folder = nullptr;
  IRegisteredTask* task = nullptr;
  if (SUCCEEDED(CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER,
                                 kIidTaskService, reinterpret_cast<void**>(&service)))) {
    VARIANT none;
    VariantInit(&none);
    BSTR folderB = SysAllocString(folderPath.c_str());
    BSTR taskB = SysAllocString(taskName.c_str());
    BSTR text = nullptr;
    if (SUCCEEDED(service->Connect(none, none, none, none)) &&
        SUCCEEDED(service->GetFolder(folderB, &folder)) &&
        SUCCEEDED(folder->GetTask(taskB, &task)) && SUCCEEDED(task->get_Xml(&text)) && text) {
      *xml = WideToUtf8(std::wstring(text, SysStringLen(text)));
      found = true;
    }
    if (text) SysFreeString(text);
    SysFreeString(folderB);
    SysFreeString(taskB);
  }
  Release(task);
  Release(folder);
  Release(service);
  if (SUCCEEDED(init)) CoUninitialize();
  return found;
}

}  // namespace tov
