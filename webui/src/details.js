// The file listing of one item (S.detail, written only here): its files,
// sortable. Each row has one control: its box, which unticked leaves the
// file out of every clean from now on (until it is ticked again); the
// folder it is in can be protected from a small menu. An item that is not
// ticked says that none of its files goes; a measure-only item lists
// nothing. The files of an item that finds caches by their structure carry
// the folder of the program they belong to ("g"): they are shown in one
// group per program, the largest first.

import { $, h } from "./dom.js";
import { fmtBytes, fmtCount, fileTimeText } from "./format.js";
import { api } from "./api.js";
import { closed } from "./connection.js";
import { S, META } from "./state.js";
import { ageDays, isLeftOut, leftOutCount, leaveOut, takeBackAll } from "./settings.js";
import { HIBERNATE_NOTE } from "./catalogue.js";
import { addProtected } from "./preferences.js";

function detailReason(it) {
  if (it.mode === "measure") return "这个项目只统计占用空间，不列出具体文件：里面是聊天记录或系统文件，本工具不会删除它们。";
  if (it.mode === "hibernate") return HIBERNATE_NOTE;
  if (it.mode === "recyclebin") return "回收站里的文件请在桌面的「回收站」里查看；这里显示的是所有盘回收站的总大小。";
  return "这个项目的文件由系统管理、数量很多，不逐个列出；清理时会整体处理。";
}

export function openDetail(id) {
  const it = S.items.get(id);
  if (!it || closed()) return;
  const limit = Number($("detail-limit").value) || META.detailDefault;
  // sort: the file field ordered by, dir: -1 descending; token: the
  // listing request whose answer counts.
  S.detail = { id, it, files: [], sort: "s", dir: -1, limit, token: 0 };
  $("detail-title").textContent = "文件明细：" + it.name;
  $("detail-caption").textContent = "「" + it.name + "」的文件";
  $("detail-rows").textContent = "";
  $("detail-note").textContent = "";
  $("detail-info").textContent = "";
  const noList = !it.allowDetails || it.mode === "recyclebin" || it.mode === "measure";
  $("detail-wrap").hidden = noList;
  $("detail-limit").disabled = noList;
  $("detail-reset").hidden = noList;
  renderItemState();
  if (noList) $("detail-note").textContent = detailReason(it);
  syncSortHeaders();
  const dlg = $("dlg-detail");
  if (!dlg.open) dlg.showModal();
  if (!noList) loadDetail();
}

async function loadDetail() {
  const d = S.detail;
  if (!d) return;
  const token = ++d.token;
  $("detail-info").textContent = "正在读取文件列表…";
  $("detail-limit").disabled = true;
  let r;
  try {
    r = await api("/api/detail?id=" + encodeURIComponent(d.id) + "&limit=" + d.limit + (ageDays() ? "&olderThanDays=" + ageDays() : ""), undefined, 60000);
  } catch (e) {
    r = null;
  }
  if (S.detail !== d || token !== d.token) return;
  $("detail-limit").disabled = false;
  if (!r) { $("detail-info").textContent = "读取文件列表失败。"; return; }
  if (!r.ok) { $("detail-info").textContent = !S.items.has(d.id) ? "程序里找不到这个项目。" : r.message || "读取失败。"; return; }
  if (r.hide) {
    $("detail-wrap").hidden = true;
    $("detail-reset").hidden = true;
    renderItemState();
    $("detail-info").textContent = "";
    $("detail-note").textContent = detailReason(d.it);
    return;
  }
  d.files = r.files || [];
  renderDetailRows();
}

function syncSortHeaders() {
  const d = S.detail;
  for (const th of document.querySelectorAll("#detail-table th[aria-sort]")) {
    const key = th.querySelector("button").dataset.sort;
    th.setAttribute("aria-sort", d && d.sort === key ? (d.dir < 0 ? "descending" : "ascending") : "none");
  }
}

function pick(id, f, on) {
  leaveOut(id, f, !on);
  if (S.detail && S.detail.id === id) renderDetailRows();
}

// Whether the item's files go at all: an item that is not ticked cleans none.
function renderItemState() {
  const d = S.detail;
  const off = !!d && !S.selected.has(d.id) && !$("detail-wrap").hidden;
  $("detail-off").hidden = !off;
  $("detail-wrap").classList.toggle("not-going", off);
}

// The small menu of a row: the folder the file is in, protected for good.
function rowMenu(f, cut) {
  if (cut <= 2) return null;
  const folder = f.p.slice(0, cut);
  return h("details", { class: "row-menu" },
    h("summary", { class: "btn link small", title: "更多操作", "aria-label": "更多操作：" + f.p, text: "⋯" }),
    h("div", { class: "row-menu-pop" },
      h("button", { type: "button", class: "btn link small protect", "data-path": folder,
        text: "以后不再清理此文件夹", title: folder, onclick: () => addProtected(folder) })));
}

// The files' programs when they carry one ("g"), by folder: their count,
// size and place (the largest first); null for every other item.
function groupsOf(files) {
  if (!files.some((f) => typeof f.g === "string")) return null;
  const groups = new Map();
  for (const f of files) {
    const g = groups.get(f.g) || { files: 0, bytes: 0, order: 0 };
    g.files += 1;
    g.bytes += Number(f.s) || 0;
    groups.set(f.g, g);
  }
  [...groups.entries()].sort((a, b) => b[1].bytes - a[1].bytes || (a[0] < b[0] ? -1 : 1))
    .forEach(([, g], i) => { g.order = i; });
  return groups;
}

// The heading row of one program's files: its folder's name, the folder,
// and what it holds in the list.
function groupRow(folder, g) {
  const name = String(folder || "").slice(String(folder || "").lastIndexOf("\\") + 1) || "（未知程序）";
  return h("tr", { class: "group-row" },
    h("th", { scope: "rowgroup", colspan: "3", title: folder },
      h("span", { class: "group-name", text: name }),
      h("span", { class: "group-sum", text: fmtCount(g.files) + " 个文件，" + fmtBytes(g.bytes) }),
      h("div", { class: "dir", text: folder })));
}

function renderDetailRows() {
  const d = S.detail;
  const tbody = $("detail-rows");
  tbody.textContent = "";
  syncSortHeaders();
  const files = d.files.slice();
  const key = d.sort;
  files.sort((a, b) => ((Number(a[key]) || 0) - (Number(b[key]) || 0)) * d.dir || (a.p < b.p ? -1 : a.p > b.p ? 1 : 0));
  const groups = groupsOf(files);
  if (groups) files.sort((a, b) => groups.get(a.g).order - groups.get(b.g).order);
  let sum = 0;
  let group = null;
  const frag = document.createDocumentFragment();
  for (const f of files) {
    sum += Number(f.s) || 0;
    if (groups && f.g !== group) {
      group = f.g;
      frag.append(groupRow(f.g, groups.get(f.g)));
    }
    const cut = f.p.lastIndexOf("\\");
    const out = isLeftOut(d.id, f.p);
    const box = h("input", { type: "checkbox", class: "pick", "aria-label": "清理 " + f.p,
      title: out ? "已设为以后不再清理；勾选后恢复清理" : "取消勾选 = 以后不再清理这个文件" });
    box.checked = !out;
    box.addEventListener("change", () => pick(d.id, f, box.checked));
    frag.append(h("tr", { class: out ? "left-out" : null },
      h("td", { class: "c-path", title: f.p },
        h("div", { class: "row-line" },
          h("label", { class: "pick-line" }, box, h("span", { class: "fn", text: cut >= 0 ? f.p.slice(cut + 1) : f.p })),
          out ? h("span", { class: "out-tag", text: "以后不再清理" }) : null,
          rowMenu(f, cut)),
        cut >= 0 ? h("div", { class: "dir", text: f.p.slice(0, cut) }) : null),
      h("td", { class: "c-size", text: fmtBytes(f.s) }),
      h("td", { class: "c-time", text: fileTimeText(f.t) })));
  }
  tbody.append(frag);
  if (!files.length) {
    tbody.append(h("tr", null, h("td", { colspan: "3", class: "empty", text: S.cancelLeft
      ? "没有列出文件：上次任务是中途取消的，程序暂时无法列出文件。重新扫描一次后再来查看。"
      : "没有找到文件：这个位置可能已经是空的，或者相关软件没有安装。" })));
  }
  const full = files.length >= d.limit;
  const out = leftOutCount(d.id);
  $("detail-info").textContent = "列出 " + fmtCount(files.length) + " 个文件，合计 " + fmtBytes(sum) +
    (full ? "（已到上限，可能还有更多）" : "") + (out ? "；已排除 " + fmtCount(out) + " 个" : "");
  $("detail-note").textContent = full
    ? "列表按扫描到的先后截取前 " + fmtCount(d.limit) + " 个文件，排序只在这些文件之间进行；可以调大「最多列出」（最多 " + META.detailMax + " 个）。"
    : "";
}

export function wireDetails() {
  $("detail-reset").addEventListener("click", () => {
    if (!S.detail) return;
    takeBackAll(S.detail.id, S.detail.files);
    renderDetailRows();
  });
  $("detail-limit").addEventListener("change", () => {
    if (!S.detail) return;
    S.detail.limit = Number($("detail-limit").value) || META.detailDefault;
    loadDetail();
  });
  for (const b of document.querySelectorAll("#detail-table th button")) {
    b.addEventListener("click", () => {
      const d = S.detail;
      if (!d) return;
      const key = b.dataset.sort;
      if (d.sort === key) d.dir = -d.dir; else { d.sort = key; d.dir = -1; }
      renderDetailRows();
    });
  }
  $("dlg-detail").addEventListener("close", () => { S.detail = null; });
  // One row menu open at a time; a click elsewhere closes it.
  $("detail-rows").addEventListener("toggle", (e) => {
    if (!e.target.open) return;
    for (const m of document.querySelectorAll("#detail-rows details.row-menu[open]")) if (m !== e.target) m.open = false;
  }, true);
}
