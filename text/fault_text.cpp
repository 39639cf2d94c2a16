#include "text/fault_text.h"

namespace tov {

// The same three reasons for every action where the system tells them
// apart; the words after the action say what the user can do about it.
const FaultTexts kFaultTexts[5] = {
    // DeleteInFolder
    {"删除失败(文件已不存在)", "删除失败(文件正在使用)", "删除失败(没有权限)", nullptr,
     "删除失败(占用或权限)"},
    // DeleteTargetFile
    {"删除失败(文件已不存在)", "删除失败(文件正在使用)", "删除失败(没有权限)", nullptr, "删除失败"},
    // OpenFolder
    {"无法打开文件夹(已不存在)", "无法打开文件夹(正在使用)", "无法打开文件夹(没有权限)", nullptr,
     "无法打开文件夹"},
    // Recycle: a link is not moved, whatever the caller refuses it for.
    {"移到回收站失败(已不存在)", "移到回收站失败(文件正在使用)", "移到回收站失败(没有权限)",
     "移到回收站失败", "移到回收站失败"},
    // RemoveDriverPackage: Windows itself refused (a device uses the package).
    {"未删除(驱动程序包已不存在)", "未删除(有设备正在使用这个驱动程序包)", "未删除(没有权限)",
     "未删除(Windows 拒绝删除)", "未删除(Windows 拒绝删除)"},
};

std::string FaultText(FaultAction action, FsFault fault, const std::string& linkText) {
  const FaultTexts& t = kFaultTexts[static_cast<size_t>(action)];
  switch (fault.kind) {
    case FsFault::Gone:
      return t.gone;
    case FsFault::InUse:
      return t.inUse;
    case FsFault::Denied:
      return t.denied;
    case FsFault::Link:
      if (t.link) return t.link;
      return linkText.empty() ? std::string(t.general) : linkText;
    case FsFault::None:  // a failure the backend gave no kind
    case FsFault::Other:
      break;
  }
  return t.general;
}

}  // namespace tov
