// The items of Windows' own tools (mode "systool"): what the page says of
// them in the catalogue, before a clean and in its result. Their figures
// are the tools' estimates ("估计"), a figure a tool did not give is
// "未知", and an action's result is C:'s free space before and after ("约",
// other programs write too).

import { $, h, toast } from "./dom.js";
import { api } from "./api.js";
import { fmtBytes } from "./format.js";
import { S } from "./state.js";

export const isTool = (it) => !!it && it.mode === "systool";

// How long the action may take and whether it can be stopped, from /api/rules.
export function toolTimeText(it) {
  const t = it.tool || {};
  return "用时 " + (t.time || "未知") + "；" + (t.stoppable ? "可以中途停止" : "开始后不能停止，关闭 Tamsel 也不会中断它");
}

// The catalogue row: one badge and the line on time and stopping.
export function toolBadges(it) {
  return isTool(it) ? [h("span", { class: "badge mode", text: "Windows 自带工具" })] : [];
}
export function toolDesc(it) {
  return isTool(it) ? "。" + toolTimeText(it) + "。" : "";
}

// The size cell of a scanned item: the estimate, or "未知", and its note.
export function toolSizeCell(f) {
  const known = !f.tool.unknown;
  return [
    h("span", { class: "v" + (known ? "" : " none"), text: known ? fmtBytes(f.bytes) : "未知" }),
    h("span", { class: "n", text: known ? "估计" : "", title: f.tool.note || "" }),
  ];
}

// What its tool said, shown under the item after a scan, with the restore
// points or driver packages it listed.
export function toolNoteLine(f) {
  if (!f || !f.tool || !f.tool.note) return null;
  const p = h("p", { class: "small muted item-tool", text: f.tool.note });
  const list = toolEntries(f.tool.entries, "列出的 ");
  return list ? h("div", null, p, list) : p;
}

// The points' or packages' table: a point by description and time, a
// package by name, provider, class, version, date and size, each with what
// becomes of it.
const STATE = { keep: "保留", goes: "将删除", removed: "已删除", skipped: "未删除", kept: "保留" };
export function toolEntries(list, lead, only) {
  const rows = (list || []).filter((e) => !only || e.state === only);
  if (!rows.length) return null;
  const pkg = rows.some((e) => e.provider || e.class || e.version);
  const head = (pkg ? ["驱动", "提供商", "类别", "版本", "日期", "大小"] : ["描述", "创建时间"]).concat(only ? [] : "");
  const cells = (e) => (pkg ? [e.name === e.id ? e.id : e.name + "（" + e.id + "）", e.provider, e.class, e.version || "未知",
    e.date || "未知", e.sizeKnown ? fmtBytes(e.bytes) : "未知"] : [e.name, e.date]).concat(only ? [] : e.note || STATE[e.state]);
  // Class, version, date and size (a point's time) stay on one line.
  const nw = pkg ? [2, 3, 4, 5] : [1];
  const goes = rows.filter((e) => e.state === "goes" || e.state === "removed").length;
  return h("details", { class: "tool-entries", open: !!only },
    h("summary", { text: lead + rows.length + " 个" + (pkg ? "驱动程序包" : "还原点") + (only ? "" : "，其中 " + goes + " 个" + (list.some((e) => e.state === "removed") ? "已删除" : "将删除")) }),
    h("div", { class: "res-scroll" }, h("table", { class: "res-table" },
      h("thead", null, h("tr", null, head.map((t) => h("th", { text: t })))),
      h("tbody", null, rows.map((e) => h("tr", { "data-state": e.state }, cells(e).map((t, i) => h("td", { text: t, class: nw.includes(i) ? "nw" : null }))))))));
}

const RESET_BASE_WARNING = "同时加上 /ResetBase 后，已经安装的 Windows 更新将不能再卸载。确定要这样做吗？";

// The confirmation's box for the selected tool items, or null. The
// component store's clean-up offers DISM's /ResetBase, off by default and
// confirmed on its own when ticked.
export function toolConfirmBox(items) {
  const tools = items.filter(isTool);
  if (!tools.length) return null;
  const box = h("div", { class: "box warn", id: "confirm-tools" },
    h("strong", { text: "下面的项目由 Windows 自带工具完成，会在所有文件清理之后运行：" }),
    h("ul", { class: "bounded" }, tools.map((it) => {
      const f = S.scan && S.scan.get(it.id);
      return h("li", null, h("strong", { text: it.name + "：" }), toolTimeText(it),
        f && f.tool ? toolEntries(f.tool.entries, "将删除的 ", "goes") : null);
    })));
  if (tools.some((it) => it.id === "component-cleanup")) {
    const cb = h("input", { type: "checkbox", id: "opt-resetbase" });
    cb.addEventListener("change", () => { if (cb.checked && !window.confirm(RESET_BASE_WARNING)) cb.checked = false; });
    box.append(h("label", { class: "small", for: "opt-resetbase", style: "display:block;margin-top:6px" }, cb,
      " 组件存储清理时同时删除已安装更新的备份（/ResetBase，之后不能再卸载已安装的更新）"));
  }
  return box;
}

// Whether the confirmation's /ResetBase box is ticked (and was confirmed).
export const resetBaseChosen = () => !!(document.getElementById("opt-resetbase") || {}).checked;

// A result row's note: what the tool said, and C:'s free space around the action.
export function toolResultNote(r) {
  if (!r.tool) return null;
  let text = r.tool.note || "";
  if (r.tool.freeBefore || r.tool.freeAfter) {
    const around = "C 盘可用空间 约 " + fmtBytes(r.tool.freeBefore) + " → 约 " + fmtBytes(r.tool.freeAfter);
    if (!text.includes("→")) text += (text ? "；" : "") + around;
  }
  const p = text ? h("p", { class: "small muted tool-note", text }) : null;
  const list = toolEntries(r.tool.entries, "");
  return list ? h("div", null, p, list) : p;
}

// A result's freed figure for a tool row: "约 X", or "未知".
export function toolBytesText(r) {
  return r.tool.unknown ? "未知" : "约 " + fmtBytes(r.bytes);
}

// The start after a run that ended while a tool ran on says so once.
export function noteToolLeftRunning(env) {
  if (env && typeof env.toolLeftRunning === "string" && env.toolLeftRunning) {
    toast("上次关闭 Tamsel 时「" + env.toolLeftRunning + "」还在运行，它已由 Windows 在后台继续完成；重新扫描可以看到现在的情况。");
  }
}

// The settings' way back from the actions that change a setting of Windows:
// the reserved storage on again, Compact OS off. Each is asked once more
// (its time, that it cannot be stopped), runs as the program's one task and
// says what came of it.
const UNDO = {
  "reserved-storage": "将用 Windows 自带的 DISM 重新打开保留的存储：Windows 会重新为更新预留约 7 GB，C 盘可用空间会相应减少。用时几秒钟，需要管理员权限，开始后不能停止。继续吗？",
  "compact-os": "将用 Windows 自带的 compact 关闭系统文件压缩：系统文件恢复为不压缩，C 盘可用空间会减少约 2–4 GB。用时约 10–20 分钟，需要管理员权限，开始后不能停止，关闭 Tamsel 也不会中断它。继续吗？",
};

async function undoTool(id) {
  const state = $("tool-undo-state");
  if (!window.confirm(UNDO[id])) return;
  const buttons = document.querySelectorAll("#tool-undo-box button");
  const setBusy = (busy) => { for (const b of buttons) b.disabled = busy; };
  let r;
  try {
    r = await api("/api/systool/undo", { id });
  } catch (e) {
    state.textContent = "没能开始，请再试一次。";
    return;
  }
  if (!r || !r.ok) { state.textContent = (r && r.message) || "没能开始，请再试一次。"; return; }
  setBusy(true);
  state.textContent = "正在运行，不能停止；完成前请不要关机……";
  try {
    for (;;) {
      await new Promise((res) => setTimeout(res, 1000));
      const s = await api("/api/status");
      if (s && s.ok && !s.busy) break;
    }
    const u = await api("/api/systool/undo");
    state.textContent = u && u.ok && u.message ? u.message : "已结束，结果未知；重新扫描可以看到现在的情况。";
  } catch (e) {
    state.textContent = "无法得知结果；重新扫描可以看到现在的情况。";
  } finally {
    setBusy(false);
  }
}

export function wireToolUndo() {
  for (const [btn, id] of [["btn-undo-reserved", "reserved-storage"], ["btn-undo-compact", "compact-os"]]) {
    const el = $(btn);
    if (el) el.addEventListener("click", () => undoTool(id));
  }
}
