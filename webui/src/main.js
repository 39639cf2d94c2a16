// The page's entry: takes the access token, wires the views, asks the
// program for everything at once and shows each part as its answer arrives.
// Bundled with the other modules of this folder into the one script the
// program embeds (see webui/package.json).

import { $, h, toast } from "./dom.js";
import { api, takeToken } from "./api.js";
import { showLocked, reconnect } from "./connection.js";
import {
  S, META, watch, loadMeta, setCatalogue, restoreSelection, selectDefaults, selectNone, applyScan,
  setRecycle, noteCleaned, restoreCleaned,
} from "./state.js";
import { loadSettings, storedSelection, saveSelection } from "./settings.js";
import { renderCatalog, renderSizes, syncChecks, pickItem } from "./catalogue.js";
import { renderSummary } from "./results.js";
import { renderEnv, refreshEnv } from "./machine.js";
import { wireTasks, follow, beat, onMapTask, onMoveTask, refreshRecycle } from "./tasks.js";
import { fmtBytes, fmtCount, fileTimeText } from "./format.js";
import { SpaceView } from "./space_view.js";
import { MovePanel } from "./move_panel.js";
import { wireConfirm } from "./confirm.js";
import { openDetail, wireDetails } from "./details.js";
import { wireDesktop, applyShellInfo } from "./desktop.js";
import { wireFeedback } from "./feedback.js";
import { wirePreferences } from "./preferences.js";
import { wireHistory } from "./history.js";
import { noteToolLeftRunning } from "./system_tools.js";

function wire() {
  watch("selection", saveSelection);
  watch("selection", syncChecks);
  watch("selection", renderSummary);
  watch("figures", renderSizes);
  watch("figures", renderSummary);
  wireTasks();
  $("btn-defaults").addEventListener("click", selectDefaults);
  $("btn-none").addEventListener("click", selectNone);
  wireConfirm();
  wireDetails();
  wirePreferences();
  wireHistory();
  wireDesktop();
  wireFeedback();
  const moves = MovePanel({ api, h, fmtBytes, fmtCount, toast, changed: refreshEnv });
  const space = SpaceView({ api, h, fmtBytes, fmtCount, fileTime: fileTimeText, toast, items: S.items, kinds: () => META.spaceKinds, pick: pickItem,
    changed: () => { refreshEnv(); refreshRecycle(); }, showMove: moves.show, moveFolder: moves.moveFolder });
  onMapTask(space.follow);
  onMoveTask(moves.follow);
  $("btn-reconnect").addEventListener("click", reconnect);
  document.addEventListener("click", (e) => {
    const c = e.target.closest("[data-close]");
    if (c) c.closest("dialog").close();
  });
}

async function start() {
  if (!takeToken()) {
    showLocked();
    return;
  }
  wire();
  // Everything is asked for at once; each part renders as soon as its
  // answer arrives, so the page is usable after the slowest of the three
  // the catalogue needs.
  const get = (p) => api(p).catch((e) => e);
  // A browser opens six connections to a host at once: the six answers
  // the page needs before it is ready go first.
  const pRules = get("/api/rules"), pSettings = get("/api/settings");
  const pEnv = get("/api/env"), pRecycle = get("/api/recycle");
  const pScan = get("/api/scanresult"), pResult = get("/api/result");
  const pStatus = get("/api/status"), pShell = get("/api/shell/info");
  const pMeta = get("/api/meta");

  const rules = await pRules;
  loadMeta(await pMeta);
  if (!rules || !rules.ok || !Array.isArray(rules.categories)) {
    $("cats").textContent = "";
    $("cats").append(h("p", { class: "note", text: "读不到清理项目的列表，请刷新页面再试。" }));
  } else {
    setCatalogue(rules.categories);
    loadSettings(await pSettings);
    restoreSelection(storedSelection());
    renderCatalog(openDetail);
  }
  const env = await pEnv;
  if (env && env.ok) renderEnv(env);
  noteToolLeftRunning(env);
  setRecycle(await pRecycle, false);
  applyScan(await pScan, false);
  const last = await pResult;
  // The last task was a real clean, so it ran after the last scan (what
  // this browser kept of the cleans since the scan holds it already).
  if (!restoreCleaned() && S.scan && last && last.ok && last.kind === "clean" && !last.dryRun) noteCleaned(last.items || [], true);
  document.body.dataset.ready = "1";
  performance.mark("tamsel-ready");

  const st = await pStatus;
  if (st && st.ok && st.busy) follow(st.phase);
  applyShellInfo(await pShell);
  if (!S.task) beat();
}

start();
