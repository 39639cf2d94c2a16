// Windows backend of the scheduled-task seam: a task's definition read,
// registered from memory and deleted through the Task Scheduler's COM
// interface (ITaskService), which is also what schtasks.exe itself uses. taskschd.dll is reached
// through COM's registration (its full path in the system folder), never imported.
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

// "Folder\Task" as the folder's path from the root ("\Folder") and the
// task's name.
void SplitTaskName(const std::wstring& name, std::wstring* folder, std::wstring* task) {
  size_t cut = name.rfind(L'\\');
  *folder = L"\\" + (cut == std::wstring::npos ? L"" : name.substr(0, cut));
  *task = cut == std::wstring::npos ? name : name.substr(cut + 1);
}

// The code of a failed call as Windows reports it: a Win32 error where the
// HRESULT carries one, else the HRESULT itself.
uint32_t CodeOf(HRESULT hr) {
  return HRESULT_FACILITY(hr) == FACILITY_WIN32 ? HRESULT_CODE(hr) : static_cast<uint32_t>(hr);
}

bool IsNotFound(HRESULT hr) {
  return hr == HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND) ||
         hr == HRESULT_FROM_WIN32(ERROR_PATH_NOT_FOUND);
}

// Runs body with a connected Task Scheduler on a COM apartment of this
// call's own (the caller's thread may be in another one already); the
// HRESULT of the first step that failed, or what body returns.
template <typename Body>
HRESULT WithTaskService(Body body) {
  HRESULT init = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
  ITaskService* service = nullptr;
  HRESULT hr = CoCreateInstance(kClsidTaskScheduler, nullptr, CLSCTX_INPROC_SERVER, kIidTaskService,
                                reinterpret_cast<void**>(&service));
  if (SUCCEEDED(hr)) {
    VARIANT none;
    VariantInit(&none);
    hr = service->Connect(none, none, none, none);
    if (SUCCEEDED(hr)) hr = body(service);
  }
  Release(service);
  if (SUCCEEDED(init)) CoUninitialize();
  return hr;
}

}  // namespace

bool RegisterScheduledTask(const std::wstring& name, const std::string& xml, uint32_t* code) {
  std::wstring folderPath, taskName;
  SplitTaskName(name, &folderPath, &taskName);
  std::wstring definition = Utf8ToWide(xml);
  HRESULT hr = WithTaskService([&](ITaskService* service) {
    ITaskFolder* folder = nullptr;
    BSTR folderB = SysAllocString(folderPath.c_str());
    HRESULT r = service->GetFolder(folderB, &folder);
    if (IsNotFound(r)) {
      // The program's own folder, made on first use beside the user's other
      // tasks, with the default security of the root.
      ITaskFolder* root = nullptr;
      BSTR rootB = SysAllocString(L"\\");
      r = service->GetFolder(rootB, &root);
      if (SUCCEEDED(r)) {
        VARIANT sddl;
        VariantInit(&sddl);
        r = root->CreateFolder(folderB, sddl, &folder);
        if (r == HRESULT_FROM_WIN32(ERROR_ALREADY_EXISTS)) r = service->GetFolder(folderB, &folder);
      }
      Release(root);
      SysFreeString(rootB);
    }
    SysFreeString(folderB);
    if (FAILED(r)) {
      Release(folder);
      return r;
    }
    BSTR taskB = SysAllocString(taskName.c_str());
    BSTR xmlB = SysAllocStringLen(definition.data(), static_cast<UINT>(definition.size()));
    VARIANT none;
    VariantInit(&none);
    IRegisteredTask* task = nullptr;
    r = folder->RegisterTask(taskB, xmlB, TASK_CREATE_OR_UPDATE, none, none,
                             TASK_LOGON_INTERACTIVE_TOKEN, none, &task);
    Release(task);
    SysFreeString(xmlB);
    SysFreeString(taskB);
    Release(folder);
    return r;
  });
  if (FAILED(hr)) *code = CodeOf(hr);
  return SUCCEEDED(hr);
}

bool DeleteScheduledTask(const std::wstring& name, uint32_t* code) {
  std::wstring folderPath, taskName;
  SplitTaskName(name, &folderPath, &taskName);
  HRESULT hr = WithTaskService([&](ITaskService* service) {
    ITaskFolder* folder = nullptr;
    BSTR folderB = SysAllocString(folderPath.c_str());
    HRESULT r = service->GetFolder(folderB, &folder);
    SysFreeString(folderB);
    if (SUCCEEDED(r)) {
      BSTR taskB = SysAllocString(taskName.c_str());
      r = folder->DeleteTask(taskB, 0);
      SysFreeString(taskB);
    }
    Release(folder);
    // No folder or no task: nothing is left to delete.
    return IsNotFound(r) ? S_OK : r;
  });
  if (FAILED(hr)) *code = CodeOf(hr);
  return SUCCEEDED(hr);
}

bool ReadScheduledTaskXml(const std::wstring& name, std::string* xml) {
  xml->clear();
  std::wstring folderPath, taskName;
  SplitTaskName(name, &folderPath, &taskName);
  HRESULT hr = WithTaskService([&](ITaskService* service) {
    ITaskFolder* folder = nullptr;
    IRegisteredTask* task = nullptr;
    BSTR folderB = SysAllocString(folderPath.c_str());
    BSTR taskB = SysAllocString(taskName.c_str());
    BSTR text = nullptr;
    HRESULT r = service->GetFolder(folderB, &folder);
    if (SUCCEEDED(r)) r = folder->GetTask(taskB, &task);
    if (SUCCEEDED(r)) r = task->get_Xml(&text);
    if (SUCCEEDED(r) && !text) r = E_FAIL;
    if (SUCCEEDED(r)) *xml = WideToUtf8(std::wstring(text, SysStringLen(text)));
    if (text) SysFreeString(text);
    SysFreeString(folderB);
    SysFreeString(taskB);
    Release(task);
    Release(folder);
    return r;
  });
  return SUCCEEDED(hr);
}

}  // namespace tov
