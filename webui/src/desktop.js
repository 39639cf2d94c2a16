// The desktop actions of the header: restart with administrator rights,
// create the shortcut, check for an update, exit the program. A build that
// lacks one of them (404) hides its button.

import { $, h, toast } from "./dom.js";
import { api } from "./api.js";
import { showEnded } from "./connection.js";
import { S } from "./state.js";
import { refreshEnv } from "./machine.js";

function missing(btn, msg) {
  btn.hidden = true;
  btn.dataset.missing = "1";
  toast(msg);
}

export async function elevate() {
  const b = $("btn-elevate");
  if (S.task) { toast("请等当前任务结束后再重启。"); return; }
  b.disabled = true;
  b.textContent = "请在弹出的窗口中确认…";
  let r = null;
  try {
    r = await api("/api/shell/elevate", {}, 300000);
  } catch (e) {
    if (e.kind === "missing") missing(b, "这个版本不能自己换成管理员身份：请关闭 Tamsel，右键点它选择「以管理员身份运行」。");
    else if (e.kind !== "gone") toast("以管理员身份重启的请求没有回应，请再试一次。");
  }
  b.disabled = false;
  b.textContent = "以管理员身份重启";
  if (!r) return;
  if (r.ok && r.elevated) {
    showEnded("正在以管理员身份重新启动", "新的 Tamsel 会自动在浏览器里打开新的页面，这个页面可以关闭了。");
  } else if (r.ok && r.already) {
    toast("已经是管理员权限了。");
    refreshEnv();
  } else {
    toast(r.message || "没能以管理员身份重启。");
  }
}

async function makeShortcut() {
  const b = $("btn-shortcut");
  b.disabled = true;
  let r = null;
  try {
    r = await api("/api/shell/shortcut", {});
  } catch (e) {
    if (e.kind === "missing") missing(b, "这个版本不能创建快捷方式。");
  }
  b.disabled = false;
  if (!r) return;
  if (r.ok) {
    const where = (r.created || []).map((p) => /\\Start Menu\\|\\Programs\\/i.test(p) ? "开始菜单" : "桌面");
    toast("已在" + (where.length ? where.join("和") : "桌面") + "创建快捷方式，以后双击它就能打开 Tamsel。");
    if (r.hasShortcut !== false) b.hidden = true;
  } else {
    toast(r.message || "创建快捷方式失败。");
  }
}

async function checkUpdate() {
  const b = $("btn-update");
  b.disabled = true;
  b.textContent = "正在检查…";
  let r = null;
  try {
    r = await api("/api/shell/update", undefined, 60000);
  } catch (e) {
    if (e.kind === "missing") missing(b, "这个版本不能检查更新。");
    else if (e.kind !== "gone") toast("检查更新没有回应，请稍后再试。");
  }
  b.disabled = false;
  b.textContent = "检查更新";
  if (!r) return;
  if (!r.ok) { toast(r.message || "检查更新失败。"); return; }
  if (!r.hasUpdate) { toast("已经是最新版本（" + r.current + "）。"); return; }
  $("upd-title").textContent = "发现新版本 " + r.latest;
  const body = $("upd-body");
  body.textContent = "";
  body.append(h("p", { text: "你现在用的是 " + r.current + "，最新版本是 " + r.latest + "。" }));
  if (r.notes) body.append(h("div", { class: "notes", id: "upd-notes", text: r.notes }));
  if (/^https?:\/\//i.test(r.page || "")) {
    body.append(h("p", { class: "sum-line" }, h("a", { href: r.page, target: "_blank", rel: "noopener noreferrer", id: "upd-link", text: "打开下载页面" })));
  } else if (r.page) {
    body.append(h("p", { class: "small muted sum-line", text: "下载页面：" + r.page }));
  }
  $("dlg-update").showModal();
}

async function exitProgram() {
  $("dlg-exit").close();
  let r = null;
  try {
    r = await api("/api/shell/exit", {});
  } catch (e) {
    if (e.kind === "missing") missing($("btn-exit"), "这个版本不能从页面退出：请在任务管理器里结束 Tamsel。");
    return;
  }
  if (r && r.ok) showEnded("Tamsel 已退出", "程序已经结束运行，可以关闭这个浏览器标签页了。需要时再双击 Tamsel 打开即可。");
  else toast((r && r.message) || "退出失败。");
}

// The answer of /api/shell/info (or an error): the shortcut button shows
// only while the program has none.
export function applyShellInfo(shell) {
  if (shell && shell.ok) $("btn-shortcut").hidden = !shell.needShortcut;
}

export function wireDesktop() {
  $("btn-elevate").addEventListener("click", elevate);
  $("btn-shortcut").addEventListener("click", makeShortcut);
  $("btn-update").addEventListener("click", checkUpdate);
  $("btn-exit").addEventListener("click", () => {
    $("exit-busy").hidden = !S.task;
    $("dlg-exit").showModal();
  });
  $("btn-exit-yes").addEventListener("click", exitProgram);
}
