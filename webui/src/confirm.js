// The confirmation before a real clean: what will go, how much, which items
// carry a risk, need administrator rights or are only measured, and whether
// Explorer may be restarted around the clean.

import { $, h } from "./dom.js";
import { fmtBytes } from "./format.js";
import { S, needsAdmin, itemFigure, freeable, userFileItemsOf, RECYCLE_NOTE } from "./state.js";
import { saveSettings } from "./settings.js";
import { RISK, HIBERNATE_NOTE } from "./catalogue.js";
import { elevate } from "./desktop.js";
import { toolConfirmBox, resetBaseChosen } from "./system_tools.js";

// sel: the selected ids, ids: those that will be cleaned. Resolves with
// {restartExplorer} when the user confirms, with null otherwise.
export function confirmClean(sel, ids) {
  const dlg = $("dlg-confirm");
  const body = $("confirm-body");
  body.textContent = "";
  const items = ids.map((id) => S.items.get(id));
  const t = freeable(ids);
  const lead = "将清理下面 " + items.length + " 个项目" +
    (t.known && S.scan ? "，按上次扫描约可释放 " + fmtBytes(t.bytes) : "（还没扫描，无法预估大小）") + "：";
  // What the user may still act on here (the restart as administrator, the
  // tools' own options) comes first, so that a low window shows it without
  // scrolling; the long lists follow, each scrolling in a bounded box.
  const adminItems = items.filter(needsAdmin);
  if (!S.admin && adminItems.length) {
    const box = h("div", { class: "box danger", id: "confirm-admin" },
      h("strong", { text: "当前不是管理员：下面的项目需要管理员权限，很可能会被跳过" }));
    if (!$("btn-elevate").hidden) {
      box.append(h("div", null, h("button", { type: "button", class: "btn small", text: "先以管理员身份重启", onclick: () => { dlg.close("no"); elevate(); } })));
    }
    box.append(h("ul", { class: "bounded" }, adminItems.map((it) => h("li", { text: it.name }))));
    body.append(box);
  }
  const tools = toolConfirmBox(items);
  if (tools) body.append(tools);
  body.append(h("p", { text: lead }),
    h("ul", { class: "confirm-list", id: "confirm-list" }, items.map((it) => {
      const f = itemFigure(it);
      return h("li", { "data-id": it.id },
        h("span", { class: "badge risk-" + it.risk, text: RISK[it.risk] || it.risk }),
        h("span", { text: it.name }),
        h("span", { class: "sz", text: f ? fmtBytes(f.bytes) : "未扫描" }));
    })));
  const risky = items.filter((it) => it.risk !== "low");
  if (risky.length) {
    body.append(h("div", { class: "box warn", id: "confirm-risk" },
      h("strong", { text: "请留意：下面的项目有一定风险，确认你不再需要它们" }),
      h("ul", { class: "bounded" }, risky.map((it) => h("li", null, h("strong", { text: it.name + "（" + RISK[it.risk] + "）：" }), it.desc)))));
  }
  const measured = sel.map((id) => S.items.get(id)).filter((it) => it.mode === "measure");
  if (measured.length) {
    body.append(h("div", { class: "box info", id: "confirm-measure" },
      h("strong", { text: "下面的项目只统计、不会删除：" }),
      h("ul", null, measured.map((it) => h("li", { text: it.name })))));
  }
  const toBin = userFileItemsOf(ids);
  if (toBin.length) {
    body.append(h("div", { class: "box info", id: "confirm-recycle" },
      h("strong", { text: "下面项目的文件会移到回收站：" }),
      h("ul", null, toBin.map((it) => h("li", { text: it.name }))),
      h("p", { class: "small", text: RECYCLE_NOTE })));
  }
  if (items.some((it) => it.mode === "dir")) {
    body.append(h("p", { class: "small muted", text: "标着「整个文件夹删除」的项目会连同文件夹一起删除。" }));
  }
  if (items.some((it) => it.mode === "hibernate")) {
    body.append(h("div", { class: "box warn", id: "confirm-hibernate" },
      h("strong", { text: "将关闭休眠，并保持关闭：" }), HIBERNATE_NOTE));
  }
  $("opt-explorer").checked = !!(S.settings && S.settings.restartExplorer);
  return new Promise((resolve) => {
    const onClose = () => {
      dlg.removeEventListener("close", onClose);
      const restartExplorer = $("opt-explorer").checked;
      if (dlg.returnValue === "yes" && S.settings && S.settings.restartExplorer !== restartExplorer) {
        S.settings.restartExplorer = restartExplorer;
        saveSettings();
      }
      resolve(dlg.returnValue === "yes" ? { restartExplorer, resetBase: resetBaseChosen() } : null);
    };
    dlg.returnValue = "";
    dlg.addEventListener("close", onClose);
    dlg.showModal();
  });
}

export function wireConfirm() {
  $("btn-confirm-yes").addEventListener("click", () => $("dlg-confirm").close("yes"));
  $("btn-confirm-no").addEventListener("click", () => $("dlg-confirm").close("no"));
}
