// The catalogue view: one card per category with its items, their boxes,
// badges and figures, and the count of selected items.

import { $, h } from "./dom.js";
import { fmtBytes, fmtCount } from "./format.js";
import { S, needsAdmin, itemFigure, catTotals, select, toggleCategory } from "./state.js";
import { leftOutCount } from "./settings.js";
import { isTool, toolBadges, toolDesc, toolSizeCell, toolNoteLine } from "./system_tools.js";

export const RISK = { low: "低风险", medium: "中风险", high: "高风险" };
// What cleaning the hibernation item does, said wherever the user decides on it.
export const HIBERNATE_NOTE = "休眠文件 hiberfil.sys 由系统管理，这里只显示它的大小。清理会关闭休眠并保持关闭，文件随即删除；「快速启动」也随之停用，开机可能稍慢。以后需要时，可在管理员命令提示符中运行 powercfg /hibernate on 重新开启（文件会重建）。";

// Builds the cards of S.cats; onDetail(id) opens an item's file listing.
export function renderCatalog(onDetail) {
  const box = $("cats");
  box.textContent = "";
  S.cats.forEach((c, ci) => {
    const cbId = "cat-" + c.id;
    const listId = "items-" + c.id;
    const catBox = h("input", { type: "checkbox", id: cbId, "data-cat": c.id });
    catBox.addEventListener("change", () => toggleCategory(c));
    const toggle = h("button", {
      type: "button", class: "btn small ghost toggle", "aria-expanded": "true",
      "aria-controls": listId, "aria-label": "收起「" + c.name + "」",
    });
    const sec = h("section", { class: "card cat", "data-cat": c.id, "aria-label": c.name },
      h("div", { class: "cat-head" },
        h("label", { for: cbId }, catBox,
          h("span", { class: "dot", style: "color:var(--c" + (ci % 7 + 1) + ")", "aria-hidden": "true", text: "●" }),
          h("span", { text: c.name })),
        h("div", { class: "cat-meta" },
          h("span", { class: "small muted cat-count" }),
          h("span", { class: "cat-size" }),
          toggle)),
      h("ul", { class: "items", id: listId }, c.items.map((it) => renderItem(it, onDetail))));
    toggle.addEventListener("click", () => {
      const col = sec.classList.toggle("collapsed");
      toggle.setAttribute("aria-expanded", String(!col));
      toggle.setAttribute("aria-label", (col ? "展开「" : "收起「") + c.name + "」");
    });
    box.append(sec);
  });
  syncChecks();
  renderSizes();
}

function renderItem(it, onDetail) {
  const cbId = "it-" + it.id;
  const descId = "desc-" + it.id;
  const cb = h("input", { type: "checkbox", id: cbId, "data-id": it.id, "aria-describedby": descId });
  cb.addEventListener("change", () => select(it.id, cb.checked));
  const badges = [h("span", { class: "badge risk-" + it.risk, text: RISK[it.risk] || it.risk })];
  if (it.mode === "measure") badges.push(h("span", { class: "badge mode", text: "仅统计" }));
  if (it.mode === "dir") badges.push(h("span", { class: "badge mode", text: "整个文件夹删除" }));
  badges.push(...toolBadges(it));
  if (needsAdmin(it)) badges.push(h("span", { class: "badge", text: "需管理员" }));
  let desc = it.desc + toolDesc(it);
  if (it.mode === "measure") desc += "。只统计占用，从不删除。";
  const detailBtn = h("button", {
    type: "button", class: "btn link small", "aria-label": "查看「" + it.name + "」的文件", text: "查看文件",
  });
  detailBtn.addEventListener("click", () => onDetail(it.id));
  return h("li", { class: "item" + (it.mode === "measure" ? " is-measure" : ""), "data-id": it.id },
    cb,
    h("div", null,
      h("label", { for: cbId, class: "item-name", text: it.name }),
      h("span", { class: "item-badges" }, badges),
      h("p", { class: "item-desc", id: descId, text: desc }),
      isTool(it) ? h("div", { class: "item-tool-note" }) : null),
    h("div", { class: "item-size", "aria-live": "off" }),
    h("div", { class: "item-act" }, detailBtn));
}

// Item boxes follow the selection; category boxes are tri-state.
export function syncChecks() {
  for (const c of S.cats) {
    let n = 0;
    for (const it of c.items) {
      const cb = $("it-" + it.id);
      const on = S.selected.has(it.id);
      if (cb) cb.checked = on;
      if (on) n++;
    }
    const cb = $("cat-" + c.id);
    if (cb) {
      cb.checked = n === c.items.length;
      cb.indeterminate = n > 0 && n < c.items.length;
    }
    const sec = document.querySelector('.cat[data-cat="' + c.id + '"] .cat-count');
    if (sec) sec.textContent = "已选 " + n + " / " + c.items.length;
  }
  const n = S.selected.size;
  $("sel-count").textContent = "已勾选 " + n + " 项（共 " + S.items.size + " 项）";
}

// The figures of every item and category.
export function renderSizes() {
  for (const it of S.items.values()) {
    const li = document.querySelector('.item[data-id="' + it.id + '"] .item-size');
    if (!li) continue;
    li.textContent = "";
    const f = itemFigure(it);
    const note = document.querySelector('.item[data-id="' + it.id + '"] .item-tool-note');
    if (note) note.replaceChildren(...[toolNoteLine(f)].filter(Boolean));
    if (f && f.tool) {
      li.append(...toolSizeCell(f));
    } else if (!f) {
      li.append(h("span", { class: "v none", text: S.scan ? "未扫描" : "—", title: "尚未扫描" }));
    } else {
      li.append(h("span", { class: "v", text: fmtBytes(f.bytes) }));
      const n = f.recycle ? fmtCount(f.files) + " 项" : fmtCount(f.files) + " 个文件";
      li.append(h("span", { class: "n", text: n }));
    }
    const done = S.cleaned.get(it.id);
    if (done) {
      li.append(h("span", { class: "done", text: "已清理 " + fmtBytes(done.bytes) }));
      if (done.skipped) li.append(h("span", { class: "n skipped", text: fmtCount(done.skipped) + " 个没能删除" }));
    }
    const left = leftOutCount(it.id);
    if (left) li.append(h("span", { class: "n skipped", text: "已排除 " + fmtCount(left) + " 个文件" }));
  }
  for (const c of S.cats) {
    const el = document.querySelector('.cat[data-cat="' + c.id + '"] .cat-size');
    if (!el) continue;
    const t = catTotals(c);
    if (!t.known) el.textContent = "";
    else if (t.reclaim === 0 && t.measure > 0) el.textContent = fmtBytes(t.measure) + "（仅统计）";
    else el.textContent = fmtBytes(t.reclaim);
  }
}

// Checks one catalogue item and brings its row into view (the space view's
// "clean with this item").
export function pickItem(id) {
  const li = document.querySelector('.item[data-id="' + id + '"]');
  if (!li) return;
  select(id, true);
  const cat = li.closest(".cat");
  if (cat.classList.contains("collapsed")) cat.querySelector(".toggle").click();
  for (const el of document.querySelectorAll(".item.picked")) el.classList.remove("picked");
  li.classList.add("picked");
  li.scrollIntoView({ block: "center" });
  $("it-" + id).focus({ preventScroll: true });
}
