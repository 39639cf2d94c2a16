// The tasks: scan, preview and clean. Starting one, following one (also one
// that another window started; task_follower.js polls), its progress,
// cancelling it and taking in its results. While no task runs, a light beat
// notices a program that went away. S.task and S.cancelLeft are written
// only here.

import { $, toast } from "./dom.js";
import { fmtBytes, fmtCount } from "./format.js";
import { api } from "./api.js";
import { closed, onEnd } from "./connection.js";
import { S, selectedIds, applyScan, setRecycle, skipFor, clearSkips } from "./state.js";
import { ageDays, refreshLeftOut } from "./settings.js";
import { renderAge, showCleanResult } from "./results.js";
import { confirmClean } from "./confirm.js";
import { refreshEnv } from "./machine.js";
import { taskFollower } from "./task_follower.js";

const BEAT_MS = 5000;           // idle check that the program is still there
const PHASE = { scan: "正在扫描…", clean: "正在清理…", "clean-dryrun": "正在预览清理…" };

let beatTimer = 0;

onEnd(() => {
  S.task = null;
  clearTimeout(beatTimer);
});

// A task of this view: its follower, with ids, what was asked for (null
// for a task this page follows). The space view's map and the 搬家 view's
// moves are not among them.
function newTask(ids) {
  const t = taskFollower({
    mine: (phase) => phase !== "map" && phase !== "move",
    progress: renderProgress,
    ended: finishTask,
    lost: () => {
      S.task = null;
      setBusy(false);
      beat();
    },
    cancelButton: "btn-cancel",
    phaseText: "prog-phase",
  });
  t.ids = ids;
  return t;
}

function setBusy(on) {
  for (const id of ["btn-scan", "btn-dry", "btn-clean"]) $(id).disabled = on;
  $("progress").hidden = !on;
  $("dock").setAttribute("aria-busy", String(on));
  if (on) {
    $("btn-cancel").disabled = false;
    $("btn-cancel").textContent = "取消";
    $("prog-found").textContent = "";
    $("prog-cur").textContent = "";
    $("prog-count").textContent = "";
    $("prog-fill").style.width = "0%";
  }
}

// kind: "scan", "dry" (a preview) or "clean", of the selected items.
export async function startTask(kind) {
  if (S.task || closed()) return;
  const sel = selectedIds();
  const verb = kind === "scan" ? "扫描" : "清理";
  if (!sel.length) { toast("请先勾选要" + verb + "的项目。"); return; }
  const ids = kind === "scan" ? sel : sel.filter((id) => S.items.get(id).mode !== "measure");
  if (!ids.length) { toast("勾选的都是「仅统计」项目，它们不会被清理。请再勾选别的项目。"); return; }
  let restartExplorer = false, resetBase = false;
  if (kind === "clean") {
    const answer = await confirmClean(sel, ids);
    if (!answer) return;
    restartExplorer = answer.restartExplorer;
    resetBase = answer.resetBase;
  }
  if (S.task || closed()) return;
  const task = newTask(ids);
  S.task = task;
  setBusy(true);
  $("prog-phase").textContent = kind === "scan" ? PHASE.scan : kind === "dry" ? PHASE["clean-dryrun"] : PHASE.clean;
  let res;
  try {
    const olderThanDays = ageDays();
    res = kind === "scan"
      ? await api("/api/scan", { items: ids, olderThanDays })
      : await api("/api/clean", { items: ids, dryRun: kind === "dry", restartExplorer, olderThanDays, skip: skipFor(ids), ...(resetBase ? { resetBase } : {}) });
  } catch (e) {
    if (S.task === task) { S.task = null; setBusy(false); }
    if (e.kind !== "gone") toast("没能开始" + verb + "，请再试一次。");
    return;
  }
  if (S.task !== task) return;
  if (!res.ok) {
    S.task = null;
    setBusy(false);
    toast(res.message || "没能开始" + verb + "。");
    // Another window may have started a task: follow it here too.
    try {
      const st = await api("/api/status");
      if (st.busy) follow(st.phase);
    } catch (e) { /* nothing to follow */ }
    return;
  }
  clearTimeout(beatTimer);
  task.start();
}

// The space view's map task is followed by that view (main.js wires it).
let followMap = null;
export function onMapTask(fn) { followMap = fn; }
// A move is followed by the 搬家 view (main.js wires it).
let followMove = null;
export function onMoveTask(fn) { followMove = fn; }

// A task this page did not start (another window, or a reload mid-task).
export function follow(phase) {
  if (phase === "map") {
    if (followMap) followMap();
    return;
  }
  if (phase === "move") {
    if (followMove) followMove();
    return;
  }
  if (S.task || closed()) return;
  const task = newTask(null);
  S.task = task;
  setBusy(true);
  $("prog-phase").textContent = PHASE[phase] || "正在处理…";
  clearTimeout(beatTimer);
  task.start();
}

function renderProgress(st, t) {
  if (t.cancelled) $("prog-phase").textContent = "正在取消…";
  else if (PHASE[st.phase]) $("prog-phase").textContent = PHASE[st.phase];
  const total = Number(st.total) || 0, done = Math.min(Number(st.done) || 0, total || Infinity);
  const pct = total ? done / total * 100 : 0;
  $("prog-fill").style.width = pct.toFixed(1) + "%";
  const bar = $("prog-bar");
  bar.setAttribute("aria-valuenow", pct.toFixed(0));
  bar.setAttribute("aria-valuetext", "已完成 " + done + " / " + total + " 项");
  $("prog-count").textContent = done + " / " + total + " 项";
  const verb = st.phase === "clean" ? "已清理 " : "已找到 ";
  $("prog-found").textContent = verb + fmtBytes(st.bytes) + "，" + fmtCount(st.files) + " 个文件";
  $("prog-cur").textContent = st.cur || "";
  $("prog-cur").title = st.cur || "";
}

function cancelTask() {
  if (S.task) S.task.cancel();
}

async function loadScan(partial) {
  try {
    applyScan(await api("/api/scanresult"), partial);
  } catch (e) { /* the page already says when the program is gone */ }
}

export async function refreshRecycle() {
  let r = null;
  try { r = await api("/api/recycle"); } catch (e) { r = null; }
  setRecycle(r, true);
}

async function finishTask(t) {
  if (S.task !== t) return;
  let res = null;
  try { res = await api("/api/result"); } catch (e) { res = null; }
  if (S.task !== t) return;
  S.cancelLeft = t.cancelled;
  // The page turns idle only once the results are on screen.
  // Files left out until the next scan (no settings document) come back;
  // those left out for good stay, but for the ones gone since.
  if (res && res.kind === "scan") { clearSkips(); refreshLeftOut(); await loadScan(t.cancelled); }
  if (S.task !== t) return;
  S.task = null;
  setBusy(false);
  if (res && res.kind === "scan") {
    toast(t.cancelled ? "扫描已取消。" : "扫描完成。");
  } else if (res && res.kind === "clean") {
    showCleanResult(res, t);
    if (!res.dryRun) refreshEnv();
  }
  refreshRecycle();
  beat();
}

// While no task runs, a light request every few seconds notices a program
// that was closed or crashed, so the page can say so instead of waiting
// for the next click to fail.
export function beat() {
  clearTimeout(beatTimer);
  if (closed()) return;
  beatTimer = setTimeout(async () => {
    renderAge();
    if (!document.hidden && !S.task) {
      try {
        const st = await api("/api/status");
        if (st.busy && !S.task) follow(st.phase);
      } catch (e) { /* checkAlive has already judged */ }
    }
    beat();
  }, BEAT_MS);
}

export function wireTasks() {
  $("btn-scan").addEventListener("click", () => startTask("scan"));
  $("btn-dry").addEventListener("click", () => startTask("dry"));
  $("btn-clean").addEventListener("click", () => startTask("clean"));
  $("btn-result-clean").addEventListener("click", () => {
    $("dlg-result").close();
    startTask("clean");
  });
  $("btn-cancel").addEventListener("click", cancelTask);
  document.addEventListener("visibilitychange", () => {
    if (!document.hidden && !S.task && !closed()) {
      api("/api/status").then((st) => { if (st.busy) follow(st.phase); }, () => {});
    }
  });
}
