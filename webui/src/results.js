// The results: the summary of the last scan with its chart by category, and
// the dialog with the result of a clean or a preview (and the line that
// reopens it).

import { $, h } from "./dom.js";
import { fmtBytes, fmtCount, ageText, clockText } from "./format.js";
import { S, META, catTotals, noteCleaned, freeable, selectedTotal, selectedIds, userFileItemsOf, RECYCLE_NOTE } from "./state.js";
import { toolResultNote, toolBytesText } from "./system_tools.js";

export function renderAge() {
  const el = $("scan-age");
  if (el && S.scan) el.textContent = "上次扫描：" + ageText(S.scanAt);
}

const exact = (bytes) => fmtCount(bytes) + " 字节";

// What the ticked items free, in the dock under the list: the same figure
// as the summary's headline.
function renderDock() {
  const n = S.selected.size;
  if (!S.scan) {
    $("dock-total").textContent = "—";
    $("dock-total").title = "";
    $("dock-note").textContent = "已勾选 " + n + " 项，扫描后显示能腾出多少";
    return;
  }
  const t = selectedTotal();
  $("dock-total").textContent = fmtBytes(t.bytes);
  $("dock-total").title = exact(t.bytes);
  $("dock-note").textContent = "已勾选 " + n + " 项" + (t.unknown ? "，其中 " + t.unknown + " 项还没扫描" : "");
}

// The part of the headline a clean moves to the recycle bin (the user's own
// files): it is freed once the recycle bin is emptied.
function recycledLine() {
  const b = freeable(selectedIds().filter((id) => META.userFileItems.has(id))).bytes;
  return b > 0 ? h("p", { class: "small sum-line", id: "sum-recycled",
    text: "其中 " + fmtBytes(b) + " 是你自己的文件（如下载的安装包、视频），清理时先移到回收站，清空回收站后才真正腾出。" }) : null;
}

export function renderSummary() {
  renderDock();
  const body = $("sum-body");
  body.textContent = "";
  if (!S.scan) {
    body.append(h("p", { class: "small muted", text: "还没有扫描过。扫描后这里会显示能腾出多少空间，以及各类占用的比例。" }));
    return;
  }
  let measure = 0, total = 0;
  const rows = [];
  S.cats.forEach((c, ci) => {
    const t = catTotals(c);
    measure += t.measure;
    total += t.reclaim;
    rows.push({ c, ci, bytes: t.reclaim });
  });
  const sel = selectedTotal();
  const all = freeable([...S.items.keys()]);
  body.append(
    h("p", { class: "small muted", text: "可以腾出的空间（勾选的项目，重复的文件只算一次）" }),
    h("div", { class: "total", id: "sum-total", text: fmtBytes(sel.bytes), title: exact(sel.bytes) }),
    h("p", { class: "small sum-line", id: "sum-selected", text: "已勾选 " + S.selected.size + " 项" +
      (sel.unknown ? "，其中 " + sel.unknown + " 项还没扫描，没有算进去" : "") }),
    h("p", { class: "small muted", id: "sum-all", text: "扫描到的全部可清理文件（含没勾选的项目）：" + fmtBytes(all.bytes) }),
    h("p", { class: "small muted", id: "scan-age", text: "上次扫描：" + ageText(S.scanAt) }));
  const recycled = recycledLine();
  if (recycled) $("sum-selected").after(recycled);
  if (measure > 0) {
    body.append(h("p", { class: "small muted sum-line", text: "另有 " + fmtBytes(measure) + " 只统计、不会删除（聊天记录、系统文件等）。" }));
  }
  if (S.scanPartial) body.append(h("p", { class: "note", text: "上次扫描中途取消了，只有取消前完成的项目有数字。" }));
  if (S.scanStale) body.append(h("p", { class: "note", id: "sum-stale", text: "已清理的项目按 0 计；其余项目的数字来自清理前的扫描，想看最新情况可以重新扫描。" }));

  const shown = rows.filter((r) => r.bytes > 0).sort((a, b) => b.bytes - a.bytes);
  if (!shown.length) {
    body.append(h("p", { class: "small muted sum-line", text: "扫描的项目里没有找到可清理的文件。" }));
    return;
  }
  const max = shown[0].bytes;
  const color = (r) => "var(--c" + (r.ci % 7 + 1) + ")";
  body.append(h("div", { class: "stack", "aria-hidden": "true" },
    shown.map((r) => h("span", { style: "width:" + (r.bytes / total * 100).toFixed(2) + "%;background:" + color(r), title: r.c.name }))));
  body.append(h("ul", { class: "chart", id: "chart", "aria-label": "按类别的可清理空间" },
    shown.map((r) => h("li", { "data-cat": r.c.id },
      h("span", { class: "lbl", text: r.c.name }),
      h("span", { class: "val", text: fmtBytes(r.bytes) + "（" + Math.round(r.bytes / total * 100) + "%）" }),
      h("span", { class: "track", "aria-hidden": "true" },
        h("span", { class: "fill", style: "width:" + Math.max(1, r.bytes / max * 100).toFixed(2) + "%;background:" + color(r) }))))));
}

let lastClean = null;  // {res, task, at} of the last clean or preview

// The result of a clean or preview (the document of /api/result) for the
// task t ({ids, cancelled}, or null); reopen: shown again from the line
// under the buttons, which changes no figure.
export function showCleanResult(res, t, reopen) {
  const dry = !!res.dryRun;
  if (!reopen) lastClean = { res, task: t, at: Date.now() };
  const items = (res.items || []).map((r) => ({ r, it: S.items.get(r.id) }));
  // Every item counts the files it takes, a whole-folder item too, and a
  // file two items take only once.
  let bytes = 0, files = 0, skipped = 0;
  for (const { r, it } of items) {
    if (it && it.mode === "measure") continue;  // found, never removed
    bytes += r.bytes;
    skipped += r.skipped;
    files += r.files;
  }
  const cancelled = t && t.cancelled;
  $("result-title").textContent = dry ? "清理预览（没有删除任何文件）" : cancelled ? "清理已取消" : "清理完成";
  // A preview goes on to the clean of the same selection, through its
  // confirmation; not once the selection changed since.
  const now = selectedIds().filter((id) => S.items.get(id).mode !== "measure");
  $("btn-result-clean").hidden = !dry || !!(t && t.ids && t.ids.join() !== now.join());
  const body = $("result-body");
  body.textContent = "";
  body.append(
    h("p", { class: "muted", text: dry ? "预计可以释放" : "已经释放" }),
    h("div", { class: "result-big", id: "result-bytes", text: fmtBytes(bytes) }));
  const grid = h("dl", { class: "result-grid" });
  const row = (k, v, id) => grid.append(h("dt", { text: k }), h("dd", { text: v, id }));
  row(dry ? "涉及文件" : "删除的文件", fmtCount(files) + " 个", "result-files");
  if (!dry) {
    const gain = res.freeAfter - res.freeBefore;
    row("C 盘可用空间", fmtBytes(res.freeBefore) + " → " + fmtBytes(res.freeAfter) +
      (gain > 0 ? "（多出 " + fmtBytes(gain) + "）" : ""), "result-free");
  } else {
    row("C 盘当前可用", fmtBytes(res.freeBefore), "result-free");
  }
  row(dry ? "会被跳过" : "跳过", fmtCount(skipped) + " 个" + (skipped ? "（文件正被占用、权限不足，或出于安全考虑不删）" : ""), "result-skipped");
  body.append(grid);
  const toBin = userFileItemsOf(items.filter((x) => x.r.files > 0).map((x) => x.r.id));
  if (toBin.length) {
    body.append(h("p", { class: "note", id: "result-recycle",
      text: "「" + toBin.map((it) => it.name).join("」「") + "」" + (dry ? "的文件会移到回收站。" : "的文件已移到回收站。") + RECYCLE_NOTE }));
  }
  // A clean stopped because its record could no longer be written says so
  // alone; any other record error left the clean to run on.
  if (res.recordError) body.append(h("p", { class: "note", id: "result-record", text: res.recordError + (res.recordStopped ? "。" : "：清理照常进行了，但这次没有留下清理记录。") }));

  const table = h("table", { class: "res-table", id: "result-table" },
    h("thead", null, h("tr", null,
      h("th", { scope: "col", text: "项目" }),
      h("th", { scope: "col", class: "num", text: dry ? "可释放" : "已释放" }),
      h("th", { scope: "col", class: "num", text: "文件" }),
      h("th", { scope: "col", class: "num", text: "跳过" }))),
    h("tbody", null, items.map(({ r, it }) => {
      const name = it ? it.name : r.id;
      const cell = h("td", null, h("span", { text: name }));
      if (it && it.mode === "measure") cell.append(h("span", { class: "badge mode", text: "仅统计，未删除" }));
      if (r.errors && r.errors.length) {
        const more = r.skipped > r.errors.length ? "（共跳过 " + fmtCount(r.skipped) + " 个，只列出前 " + r.errors.length + " 条）" : "";
        cell.append(h("details", null,
          h("summary", { text: "查看 " + r.errors.length + " 条原因" + more }),
          h("ul", { class: "errs" }, r.errors.map((e) => h("li", { text: e })))));
      }
      if (r.shared > 0 && Array.isArray(r.sharedWith)) {
        // Files an earlier item takes as well are counted (and deleted) there.
        const names = r.sharedWith.map((id) => "「" + (S.items.get(id) ? S.items.get(id).name : id) + "」").join("");
        cell.append(h("p", { class: "small muted shared", text: "与" + names + "相同的 " + fmtCount(r.shared) + " 个文件已算在" + names + "里" }));
      }
      const toolNote = toolResultNote(r);
      if (toolNote) cell.append(toolNote);
      const filesText = fmtCount(r.files);
      return h("tr", { "data-id": r.id }, cell,
        h("td", { class: "num", text: r.tool ? toolBytesText(r) : fmtBytes(r.bytes) }),
        h("td", { class: "num", text: filesText }),
        h("td", { class: "num", text: fmtCount(r.skipped) }));
    })));
  body.append(h("div", { class: "res-scroll" }, table));
  if (t && t.ids) {
    const got = new Set(items.map((x) => x.r.id));
    const missing = t.ids.filter((id) => !got.has(id)).map((id) => S.items.get(id).name);
    if (missing.length) {
      body.append(h("p", { class: "note", text: "因为取消，下面的项目没有处理：" + missing.join("、") }));
    }
  }
  if (!dry && !reopen) noteCleaned(items.map((x) => x.r), false);
  const last = $("last-clean");
  last.hidden = false;
  last.textContent = "";
  last.append((dry ? "上次预览：可释放 " : "上次清理：释放了 ") + fmtBytes(bytes) + "（" +
    clockText(lastClean ? lastClean.at : Date.now()) + "） ",
    h("button", { type: "button", class: "btn link small", text: "查看详情", onclick: () => showCleanResult(lastClean.res, lastClean.task, true) }));
  const dlg = $("dlg-result");
  if (!dlg.open) dlg.showModal();
}
