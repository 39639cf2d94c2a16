// The records of past cleans: the list, one record's lines with a search,
// and showing a record's file in Explorer.

import { $, h, toast } from "./dom.js";
import { fmtBytes, fmtCount, fmtDate } from "./format.js";
import { api } from "./api.js";

let shown = null;  // {rec, lines, total}: the record on screen, null in the list

async function openHistory() {
  $("hist-view").hidden = true;
  $("hist-list-box").hidden = false;
  const ul = $("hist-list");
  ul.textContent = "";
  $("dlg-history").showModal();
  let r;
  try { r = await api("/api/history"); } catch (e) { r = null; }
  if (!r || !r.ok) { ul.append(h("li", { class: "note", text: "读不到清理记录。" })); return; }
  if (!r.records.length) ul.append(h("li", { class: "muted", text: "还没有清理记录。每次真正的清理都会留下一条记录。" }));
  for (const rec of r.records) {
    ul.append(h("li", { "data-id": rec.id },
      h("button", { type: "button", class: "btn link", text: fmtDate(new Date(rec.time)), onclick: () => showRecord(rec) }),
      h("span", { class: "small", text: rec.items.length + " 个项目，删除 " + fmtCount(rec.files) + " 个，释放 " + fmtBytes(rec.bytes) +
        (rec.skipped ? "，跳过 " + fmtCount(rec.skipped) + " 个" : "") +
        (rec.complete === false ? "（没有正常结束，记录到中断为止）" : "") })));
  }
}

// The record's lines matching the search, from the first (more: the next
// page after those on screen).
async function showRecord(rec, more) {
  if (!more) shown = { rec, lines: [], total: 0 };
  const hs = shown;
  $("hist-list-box").hidden = true;
  $("hist-view").hidden = false;
  $("hist-title").textContent = fmtDate(new Date(rec.time)) + "：释放 " + fmtBytes(rec.bytes) + "，删除 " + fmtCount(rec.files) + " 个，跳过 " + fmtCount(rec.skipped) + " 个";
  const q = $("hist-q").value.trim();
  let r;
  try {
    r = await api("/api/history/record?id=" + encodeURIComponent(rec.id) + "&offset=" + hs.lines.length + "&limit=500&q=" + encodeURIComponent(q));
  } catch (e) { r = null; }
  if (shown !== hs) return;
  if (!r || !r.ok) { $("hist-info").textContent = (r && r.message) || "读不到这条记录。"; return; }
  hs.lines = hs.lines.concat(r.lines);
  hs.total = r.total;
  const tbody = $("hist-lines");
  tbody.textContent = "";
  for (const l of hs.lines) {
    tbody.append(h("tr", { class: l.kind },
      h("td", { text: l.kind === "deleted" ? "已删除" : l.kind === "recycled" ? "已移到回收站" : "跳过" }),
      h("td", { class: "c-path", text: l.path, title: l.reason || l.path }),
      h("td", { class: "c-size", text: fmtBytes(l.bytes) }),
      h("td", { class: "small", text: l.reason })));
  }
  $("hist-info").textContent = "显示 " + fmtCount(hs.lines.length) + " / " + fmtCount(hs.total) + " 行" + (r.complete ? "" : "（这次清理没有正常结束，记录到中断为止）");
  $("hist-more").hidden = hs.lines.length >= hs.total;
}

export function wireHistory() {
  $("btn-history").addEventListener("click", openHistory);
  $("hist-back").addEventListener("click", () => { $("hist-view").hidden = true; $("hist-list-box").hidden = false; shown = null; });
  $("hist-more").addEventListener("click", () => { if (shown) showRecord(shown.rec, true); });
  $("hist-q").addEventListener("input", () => { if (shown) showRecord(shown.rec); });
  $("hist-show").addEventListener("click", async () => {
    if (!shown) return;
    let r;
    try { r = await api("/api/history/show", { id: shown.rec.id }); } catch (e) { r = null; }
    if (!r || !r.ok) toast((r && r.message) || "无法打开资源管理器。");
  });
}
