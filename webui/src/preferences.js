// The user's standing choices: the age option, the protected paths (files
// and folders never cleaned) and the automatic clean of the scheduled task
// (when it runs, and its own list of items and age), in the settings
// dialog. A change of what counts is followed by a new scan.

import { $, h, toast } from "./dom.js";
import { api } from "./api.js";
import { fmtBytes } from "./format.js";
import { S, META, itemFigure } from "./state.js";
import { saveSettings } from "./settings.js";
import { startTask } from "./tasks.js";
import { RISK } from "./catalogue.js";
import { wireToolUndo } from "./system_tools.js";

// After what counts changed, the figures on screen come from a new scan.
function rescan() {
  if (S.scan && !S.task) startTask("scan");
}

export function addProtected(path) {
  if (!S.settings) return;
  const low = path.toLowerCase();
  if (!S.settings.protect.some((p) => p.toLowerCase() === low)) S.settings.protect.push(path);
  saveSettings();
  renderProtected();
  toast("以后不再清理：" + path);
  if ($("dlg-detail").open) $("dlg-detail").close();
  setTimeout(rescan, 300);
}

function renderProtected() {
  const ul = $("protect-list");
  ul.textContent = "";
  const list = S.settings ? S.settings.protect : [];
  if (!list.length) ul.append(h("li", { class: "muted small", text: "还没有设为不清理的文件夹或文件。" }));
  list.forEach((p, i) => ul.append(h("li", { "data-path": p },
    h("span", { class: "path", text: p }),
    h("button", { type: "button", class: "btn small", text: "移除", "aria-label": "移除 " + p, onclick: () => {
      S.settings.protect.splice(i, 1);
      saveSettings();
      renderProtected();
      setTimeout(rescan, 300);
    } }))));
}

// ---- automatic cleaning (the scheduled task) -------------------------------

const EVERY = { off: "关闭", daily: "每天", weekly: "每周" };
let schedule = null;  // the last document of /api/schedule

// Shows what the task store holds: the interval, and a program path that
// no longer exists (the program was moved) or is another copy, with the
// offer to point the task at this program.
function renderSchedule(r) {
  const state = $("schedule-state");
  const fix = $("btn-schedule-fix");
  fix.hidden = true;
  if (!r || !r.ok) {
    state.textContent = (r && r.message) || "读不到自动清理的状态。";
    $("schedule-next").textContent = "";
    return;
  }
  schedule = r;
  for (const el of document.querySelectorAll('input[name="schedule-every"]')) el.checked = el.value === r.every;
  $("schedule-next").textContent = nextRunText(r);
  if (r.every === "off") {
    state.textContent = "自动清理已关闭。";
    return;
  }
  let text = "自动清理：" + EVERY[r.every] + "，在电脑空闲且接通电源时运行。";
  if (!r.programExists) {
    text += "但计划任务要运行的程序已经不在了（可能被移动或删除）：" + r.program;
    fix.hidden = false;
  } else if (!r.isThisProgram) {
    text += "计划任务运行的是另一处的程序：" + r.program;
    fix.hidden = false;
  }
  state.textContent = text;
}

async function loadSchedule() {
  let r;
  try { r = await api("/api/schedule"); } catch (e) { r = null; }
  renderSchedule(r);
}

async function setSchedule(every) {
  $("schedule-state").textContent = "正在设置…";
  let r;
  try { r = await api("/api/schedule", { every }); } catch (e) { r = null; }
  if (r && r.ok) {
    toast(every === "off" ? "已关闭自动清理" : "已设置自动清理：" + EVERY[every]);
    renderSchedule(r);
  } else {
    toast((r && r.message) || "设置自动清理失败");
    await loadSchedule();
  }
}

// The next run the task's trigger allows: at its time of day, every day or
// every Sunday, from its first moment on (the system then waits until the
// computer is idle and on mains power).
const WEEKDAY = ["周日", "周一", "周二", "周三", "周四", "周五", "周六"];
function nextRunText(r) {
  if (r.every === "off") return "";
  const m = /^(\d{4})-(\d\d)-(\d\d)T(\d\d):(\d\d)/.exec(r.start || "");
  if (!m) return "下次运行：由系统安排，在电脑空闲且接通电源时。";
  const t = new Date(Number(m[1]), Number(m[2]) - 1, Number(m[3]), Number(m[4]), Number(m[5]));
  const now = new Date();
  if (r.every === "weekly") while (t.getDay() !== 0) t.setDate(t.getDate() + 1);
  while (t < now) t.setDate(t.getDate() + (r.every === "weekly" ? 7 : 1));
  const two = (n) => String(n).padStart(2, "0");
  return "下次运行：最早 " + (t.getMonth() + 1) + " 月 " + t.getDate() + " 日（" + WEEKDAY[t.getDay()] + "）" +
    two(t.getHours()) + ":" + two(t.getMinutes()) + "，等到电脑空闲且接通电源时。";
}

// ---- what the automatic clean runs (settings "autoItems", "autoOlderThanDays")

// Items the automatic clean may run: catalogue order, none measured only,
// none of the user's own files.
function autoCandidates() {
  const out = [];
  for (const c of S.cats) for (const it of c.items) if (it.mode !== "measure" && it.mode !== "systool" && !META.userFileItems.has(it.id)) out.push(it);
  return out;
}

function setAutoItems(ids) {
  const want = new Set(ids);
  S.settings.autoItems = autoCandidates().filter((it) => want.has(it.id)).map((it) => it.id);
  saveSettings();
  renderAuto();
}

function renderAuto() {
  $("auto-box").hidden = !S.settings;
  if (!S.settings) return;
  $("auto-age").value = String(S.settings.autoOlderThanDays);
  if ($("auto-age").value !== String(S.settings.autoOlderThanDays)) {
    // A day count the list does not offer is shown as it is.
    const d = Number(S.settings.autoOlderThanDays) || 0;
    $("auto-age").append(h("option", { value: String(d), text: d + " 天以前改过的文件" }));
    $("auto-age").value = String(d);
  }
  const chosen = new Set(S.settings.autoItems);
  const ul = $("auto-list");
  ul.textContent = "";
  let sum = 0, known = 0;
  for (const it of autoCandidates()) {
    const on = chosen.has(it.id);
    const f = itemFigure(it);
    if (on && f) { sum += f.bytes; known++; }
    const cb = h("input", { type: "checkbox", id: "auto-" + it.id, "data-id": it.id });
    cb.checked = on;
    cb.addEventListener("change", () => {
      if (!cb.checked) { setAutoItems(S.settings.autoItems.filter((id) => id !== it.id)); return; }
      if (it.risk === "low") { setAutoItems([...S.settings.autoItems, it.id]); return; }
      // Anything but low risk joins only through its own confirmation.
      cb.checked = false;
      confirmAutoItem(it);
    });
    ul.append(h("li", { "data-id": it.id },
      h("label", { for: "auto-" + it.id }, cb, h("span", { text: it.name })),
      h("span", { class: "badge risk-" + it.risk, text: RISK[it.risk] || it.risk }),
      h("span", { class: "sz", text: f ? fmtBytes(f.bytes) : S.scan ? "未扫描" : "—", title: "上次扫描的大小" })));
  }
  const n = chosen.size;
  $("auto-sum").textContent = "已选 " + n + " 项" +
    (!n ? "：自动清理什么也不会删除" : known ? "，按上次扫描约 " + fmtBytes(sum) : "（还没扫描，不知道大小）");
  const own = [...META.userFileItems].map((id) => S.items.get(id)).filter(Boolean).map((it) => "「" + it.name + "」");
  $("auto-never").textContent = own.length
    ? "你自己的文件（" + own.join("、") + "）不会自动清理，只能在清理页手动清理（移到回收站）。"
    : "";
}

// A medium- or high-risk item joins the automatic clean only once the user
// confirmed it, with what it deletes named.
function confirmAutoItem(it) {
  const body = $("auto-add-body");
  body.textContent = "";
  body.append(
    h("p", null, h("span", { class: "badge risk-" + it.risk, text: RISK[it.risk] || it.risk }), " ", h("strong", { text: it.name })),
    h("p", { text: it.desc }),
    h("p", { class: "small", text: META.searchItems.has(it.id)
      ? "自动清理会在无人看着时，在下面这些文件夹里找出上面说的缓存文件夹，只删除其中的文件，不删这些文件夹里的其他文件："
      : "自动清理会在无人看着时删除这些位置里的文件：" }),
    h("ul", { class: "targets" }, (it.targets || []).map((t) => h("li", { text: t }))),
    h("p", { class: "warn-line", text: "删除的文件不会进入回收站，无法恢复。" }));
  const dlg = $("dlg-auto-add");
  dlg.returnValue = "";
  dlg.showModal();
  dlg.addEventListener("close", () => {
    if (dlg.returnValue === "yes" && S.settings) setAutoItems([...S.settings.autoItems, it.id]);
  }, { once: true });
}

export function wirePreferences() {
  $("btn-auto-add-yes").addEventListener("click", () => $("dlg-auto-add").close("yes"));
  $("btn-auto-add-no").addEventListener("click", () => $("dlg-auto-add").close("no"));
  $("auto-age").addEventListener("change", () => {
    if (!S.settings) return;
    S.settings.autoOlderThanDays = Number($("auto-age").value) || 0;
    saveSettings();
  });
  $("opt-age").addEventListener("change", () => {
    if (S.settings) { S.settings.olderThanDays = Number($("opt-age").value) || 0; saveSettings(); }
    setTimeout(rescan, 300);
  });
  $("btn-settings").addEventListener("click", () => { renderProtected(); renderAuto(); loadSchedule(); $("dlg-settings").showModal(); });
  for (const el of document.querySelectorAll('input[name="schedule-every"]')) {
    el.addEventListener("change", () => { if (el.checked) setSchedule(el.value); });
  }
  $("btn-schedule-fix").addEventListener("click", () => setSchedule(schedule ? schedule.every : "daily"));
  wireToolUndo();
  $("protect-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    const v = $("protect-input").value.trim().replace(/\\+$/, "");
    if (!/^[cC]:\\./.test(v)) { toast("请填写 C:\\ 开头的完整路径。"); return; }
    $("protect-input").value = "";
    addProtected(v);
  });
}
