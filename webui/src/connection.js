// The page's link to the program and its three ends: locked out (no valid
// access token), gone (the program no longer answers) and ended (the
// program exited or restarted itself). Each end is final for this load: the
// controls go inert and one screen says what happened.

import { $, toast } from "./dom.js";

export const conn = {
  gone: false,   // the program stopped answering
  ended: false,  // locked out, or the program ended on purpose
};
// True once the page can no longer talk to the program.
export const closed = () => conn.gone || conn.ended;

const endHooks = [];
// fn() runs first thing at any end, so that nothing goes on polling.
export function onEnd(fn) { endHooks.push(fn); }

function endPage() {
  for (const fn of endHooks) fn();
  for (const d of document.querySelectorAll("dialog[open]")) d.close();
  for (const el of document.querySelectorAll(".top .actions, .drive, main")) el.inert = true;
}

// The page cannot act without the secret (opened from a bookmark or the
// history, or the program was started again and drew a new one): it says
// so once, instead of failing call by call.
export function showLocked() {
  if (conn.ended) return;
  conn.ended = true;
  endPage();
  $("locked").hidden = false;
  $("gone").hidden = true;
  document.title = "请重新打开 Tamsel";
  document.body.dataset.locked = "1";
}

export function setGone() {
  if (conn.gone || conn.ended) return;
  conn.gone = true;
  endPage();
  // No task is followed any more: neither view shows one running.
  $("progress").hidden = true;
  $("sp-prog").hidden = true;
  $("gone").hidden = false;
  document.title = "连接已断开 · Tamsel";
  $("btn-reconnect").focus();
}

export function showEnded(title, text) {
  conn.ended = true;
  endPage();
  $("ended-title").textContent = title;
  $("ended-text").textContent = text;
  $("ended").hidden = false;
  $("gone").hidden = true;
  document.title = title + " · Tamsel";
}

// The gone screen's button: reloads once the program answers again.
export async function reconnect() {
  const b = $("btn-reconnect");
  b.disabled = true;
  b.textContent = "正在连接…";
  let ok = false;
  try {
    const r = await fetch("/api/env", { cache: "no-store", signal: AbortSignal.timeout(4000) });
    ok = r.ok;
  } catch (e) { ok = false; }
  if (ok) { location.reload(); return; }
  b.disabled = false;
  b.textContent = "重新连接";
  toast("仍然连不上 Tamsel。请重新打开程序。");
}
