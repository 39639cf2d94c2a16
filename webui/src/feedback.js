// The feedback dialog: the text with its length against the program's
// limit, the kind, the contact, and sending it through the program.

import { $ } from "./dom.js";
import { api } from "./api.js";
import { META } from "./state.js";

const codePoints = (s) => Array.from(s).length;

function feedbackCount() {
  const n = codePoints($("fb-text").value);
  const el = $("fb-count");
  const max = META.feedbackMaxChars, over = max > 0 && n > max;
  el.textContent = n + " / " + max + " 字" + (over ? "，超出 " + (n - max) + " 字" : "");
  el.classList.toggle("over", over);
  return n;
}

function feedbackMsg(text, cls) {
  const m = $("fb-msg");
  m.textContent = text;
  m.className = "small fb-msg" + (cls ? " " + cls : "");
}

async function sendFeedback(ev) {
  ev.preventDefault();
  const text = $("fb-text").value;
  if (!text.trim()) { feedbackMsg("请先写点什么再提交。", "err"); $("fb-text").focus(); return; }
  if (feedbackCount() > META.feedbackMaxChars && META.feedbackMaxChars > 0) { feedbackMsg("内容太长了（上限 " + META.feedbackMaxChars + " 字），请删掉一些再提交。", "err"); $("fb-text").focus(); return; }
  // "bug" and "idea" are the kinds the service knows; anything else is sent
  // empty, which the program reports as plain feedback ("反馈").
  const picked = (document.querySelector('input[name="kind"]:checked') || {}).value;
  const kind = picked === "bug" || picked === "idea" ? picked : "";
  const btn = $("fb-send");
  btn.disabled = true;
  feedbackMsg("正在发送…");
  let r = null;
  try {
    r = await api("/api/feedback", { text, contact: $("fb-contact").value.trim(), kind }, 60000);
  } catch (e) {
    if (e.kind === "missing") feedbackMsg("这个版本暂时不能在线反馈。", "err");
    else if (e.kind !== "gone") feedbackMsg("发送超时，请稍后再试。", "err");
  }
  btn.disabled = false;
  if (!r) return;
  if (r.ok) {
    feedbackMsg("反馈已发送，谢谢！每一条我们都会认真看。", "ok");
    $("fb-text").value = "";
    feedbackCount();
  } else {
    feedbackMsg(r.message || "发送失败。", "err");
  }
}

export function wireFeedback() {
  $("btn-feedback").addEventListener("click", () => {
    feedbackMsg("");
    feedbackCount();
    $("dlg-feedback").showModal();
    $("fb-text").focus();
  });
  $("fb-text").addEventListener("input", () => { feedbackCount(); feedbackMsg(""); });
  $("fb-form").addEventListener("submit", sendFeedback);
}
