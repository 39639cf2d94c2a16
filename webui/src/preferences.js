// The user's standing choices: the age option, the protected paths (files
// and folders never cleaned) and the automatic clean of the scheduled task,
// in the settings dialog. A change of what counts is followed by a new scan.

import { $, h, toast } from "./dom.js";
import { api } from "./api.js";
import { S } from "./state.js";
import { saveSettings } from "./settings.js";
import { startTask } from "./tasks.js";

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
    return;
  }
  schedule = r;
  for (const el of document.querySelectorAll('input[name="schedule-every"]')) el.checked = el.value === r.every;
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

export function wirePreferences() {
  $("opt-age").addEventListener("change", () => {
    if (S.settings) { S.settings.olderThanDays = Number($("opt-age").value) || 0; saveSettings(); }
    setTimeout(rescan, 300);
  });
  $("btn-settings").addEventListener("click", () => { renderProtected(); loadSchedule(); $("dlg-settings").showModal(); });
  for (const el of document.querySelectorAll('input[name="schedule-every"]')) {
    el.addEventListener("change", () => { if (el.checked) setSchedule(el.value); });
  }
  $("btn-schedule-fix").addEventListener("click", () => setSchedule(schedule ? schedule.every : "daily"));
  $("protect-form").addEventListener("submit", (ev) => {
    ev.preventDefault();
    const v = $("protect-input").value.trim().replace(/\\+$/, "");
    if (!/^[cC]:\\./.test(v)) { toast("请填写 C:\\ 开头的完整路径。"); return; }
    $("protect-input").value = "";
    addProtected(v);
  });
}
