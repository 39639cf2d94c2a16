// The machine as the header shows it: the program's version, drive C's
// space meter and the rights the program runs with (S.admin, written only
// here), from the document of /api/env.

import { $ } from "./dom.js";
import { fmtBytes } from "./format.js";
import { api } from "./api.js";
import { S } from "./state.js";

export function renderEnv(env) {
  S.admin = !!env.admin;
  $("version").textContent = "版本 " + env.version;
  const d = env.drive || {};
  if (d.ok && d.total > 0) {
    const used = Math.max(0, d.total - d.free);
    const pct = Math.min(100, used / d.total * 100);
    $("drive-text").textContent = "已用 " + fmtBytes(used) + "，共 " + fmtBytes(d.total) + "，可用 " + fmtBytes(d.free);
    $("drive-fill").style.width = pct.toFixed(1) + "%";
    const m = $("drive-meter");
    m.setAttribute("aria-valuenow", pct.toFixed(0));
    m.setAttribute("aria-valuetext", "已用 " + pct.toFixed(0) + "%，可用 " + fmtBytes(d.free));
    m.classList.toggle("full", pct >= 90);
  } else {
    $("drive-text").textContent = "读不到 C 盘的空间信息";
  }
  const b = $("admin-badge");
  b.textContent = S.admin ? "管理员权限" : "普通权限";
  b.className = "badge " + (S.admin ? "admin-yes" : "admin-no");
  b.title = S.admin ? "所有项目都可以清理" : "标有「需管理员」的项目可能被跳过";
  $("btn-elevate").hidden = S.admin || $("btn-elevate").dataset.missing === "1";
  $("elevate-why").hidden = S.admin;
}

export async function refreshEnv() {
  try {
    const env = await api("/api/env");
    if (env && env.ok) renderEnv(env);
  } catch (e) { /* keep the old figures */ }
}
