// The 搬家 view ("C 盘搬家"): moves the user's folders off drive C to
// another local drive and back. It lists the six known folders and the big
// app-data folders the program finds (GET /api/move/folders), each with its
// size and where it is now, the target drives with their free space (GET
// /api/move/drives), and the moves made so far (GET /api/moves) with
// "搬回 C 盘" for each one that is done; it starts a move (POST /api/move)
// or its undo (POST /api/move/back) after a confirmation, follows the task
// (phase "move") to its end and shows the outcome (GET /api/result). What
// the program did at its start with a move a closed program left half way
// is shown on top, once that task (phase "move" too) has ended.
//
// A module of its own: MovePanel(ctx) wires the markup of index.html
// (#move-view, #dlg-move) and returns {show(), follow(), moveFolder(path)}.
// ctx: api, h, fmtBytes, fmtCount, toast, changed() (the drive's figures moved).
import { taskFollower } from "./task_follower.js";

export function MovePanel(ctx) {
  const $ = (id) => document.getElementById(id);
  const { h, api } = ctx;
  const B = ctx.fmtBytes, N = ctx.fmtCount;
  const M = {
    drives: [],     // usable target drives
    task: null,     // the move task's follower while it runs
    total: null,    // {bytes, files} of the move this page started
    ask: null,      // what the confirmation would start: {url, body}
    loaded: false,
    recovering: false, // the task followed is the start's recovery of a move left half way
  };
  const quiet = (p) => p.catch(() => ({ ok: false }));

  function show() {
    if (!M.loaded) { M.loaded = true; load(); }
  }

  async function load() {
    const [f, d, m] = await Promise.all([quiet(api("/api/move/folders")), quiet(api("/api/move/drives")),
      quiet(api("/api/moves"))]);
    renderDrives(d.ok ? d.drives : []);
    renderFolders(f.ok ? f.folders : null);
    renderMoves(m.ok ? m : null);
  }

  function renderDrives(list) {
    const sel = $("mv-drive");
    sel.textContent = "";
    M.drives = list.filter((d) => d.usable);
    for (const d of list) {
      sel.append(h("option", { value: d.drive, disabled: !d.usable,
        text: d.drive + " 剩余 " + B(d.free) + (d.usable ? "" : "（" + d.reason + "，不能用）") }));
    }
    const best = M.drives.slice().sort((a, b) => b.free - a.free)[0];
    if (best) sel.value = best.drive;
    $("mv-nodrive").hidden = M.drives.length > 0;
  }
  const target = () => $("mv-drive").value;

  function renderFolders(list) {
    const body = $("mv-rows");
    body.textContent = "";
    if (!list) {
      body.append(h("tr", null, h("td", { colspan: "4", class: "muted", text: "读不到文件夹列表，请稍后再试。" })));
      return;
    }
    for (const f of list) {
      const act = f.moved && f.id
        ? h("button", { type: "button", class: "btn small", text: "搬回 C 盘", disabled: !!M.task, onclick: () => askBack(f.id, f.name, f.now, f.bytes) })
        : f.moved ? h("span", { class: "muted small", text: "已在其他位置" })
        : f.refuse ? h("span", { class: "muted small", text: f.refuse })
        : h("button", { type: "button", class: "btn small primary", text: "搬到其他盘", disabled: !M.drives.length || !!M.task,
          onclick: () => askMove(f.path, f.name, f.bytes, f.files) });
      body.append(h("tr", null,
        h("td", null, h("strong", { text: f.name }), h("div", { class: "small muted path", text: f.path })),
        h("td", { class: "path", text: f.now }),
        h("td", { class: "num", text: B(f.bytes) + " · " + N(f.files) + " 个文件" }),
        h("td", null, act)));
    }
  }

  const STEP = {
    planned: "准备中", copying: "复制中", copied: "已复制", switched: "已切换",
    done: "已完成", "rolling-back": "撤回中", "rolled-back": "已撤回",
  };

  function renderMoves(doc) {
    const box = $("mv-recovered");
    box.textContent = "";
    const rec = doc && Array.isArray(doc.recovered) ? doc.recovered : [];
    box.hidden = !rec.length;
    for (const t of rec) box.append(h("p", { text: t }));
    const body = $("mv-log");
    body.textContent = "";
    const list = doc && Array.isArray(doc.moves) ? doc.moves : [];
    $("mv-log-empty").hidden = list.length > 0;
    for (const m of list) {
      const done = m.step === "done" && !m.back && !m.undone;
      body.append(h("tr", null,
        h("td", { text: new Date(m.time).toLocaleString("zh-CN") }),
        h("td", null, h("div", { class: "path", text: (m.back ? "搬回 " + m.path : m.path + " → " + m.to) }),
          m.note ? h("div", { class: "small muted", text: m.note }) : null),
        h("td", { class: "num", text: B(m.bytes) }),
        h("td", null, m.undone ? "已搬回" : (STEP[m.step] || m.step),
          done ? h("button", { type: "button", class: "btn small", text: "搬回 C 盘", disabled: !!M.task, onclick: () => askBack(m.id, m.path, m.to, m.bytes) }) : null)));
    }
  }

  // ---- asking and starting ---------------------------------------------------

  function askMove(path, name, bytes, files) {
    if (!target()) { ctx.toast("没有可以搬去的磁盘。"); return; }
    M.ask = { url: "/api/move", body: { path, to: target() + "\\" } };
    $("mv-ask").textContent = "把「" + name + "」（" + B(bytes) + (files != null ? "，" + N(files) + " 个文件" : "") +
      "）从 " + path + " 搬到 " + target() + "\\Tamsel 搬家 里。";
    $("mv-ask-how").textContent = "先复制并逐一核对，核对无误后才删除 C 盘上的原文件；中途取消或出错都会撤回，原文件夹不变。以后可以随时搬回 C 盘。" +
      "搬的时候请先关闭正在使用这些文件的程序（比如微信、QQ）。";
    $("dlg-move").showModal();
  }

  function askBack(id, name, now, bytes) {
    M.ask = { url: "/api/move/back", body: { id } };
    $("mv-ask").textContent = "把「" + name + "」（" + B(bytes) + "）从 " + now + " 搬回 C 盘原来的位置。";
    $("mv-ask-how").textContent = "同样先复制并核对，再删除其他盘上的那一份。C 盘需要有足够的空间。";
    $("dlg-move").showModal();
  }

  // From the space view: a folder row's "搬到其他盘".
  async function moveFolder(path) {
    show();
    let f = null;
    try { f = await api("/api/map/dir?path=" + encodeURIComponent(path)); } catch (e) { /* sizes unknown */ }
    const name = path.split("\\").pop();
    if (!M.drives.length) await load();
    askMove(path, name, f && f.ok ? f.bytes : 0, f && f.ok ? f.files : null);
  }

  async function start() {
    $("dlg-move").close();
    const ask = M.ask;
    if (!ask || M.task) return;
    // The last move's result goes at once: it must never pass for this one's.
    $("mv-result").hidden = true;
    let r;
    try { r = await api(ask.url, ask.body); } catch (e) {
      if (e.kind !== "gone") ctx.toast("没能开始搬家，请再试一次。");
      return;
    }
    if (!r.ok) { showResult(false, r.message || "没能开始搬家。"); return; }
    M.total = { bytes: r.bytes, files: r.files };
    follow();
  }

  // ---- the task ------------------------------------------------------------------

  function busy(on) {
    $("mv-prog").hidden = !on;
    $("move-view").setAttribute("aria-busy", String(on));
    for (const b of document.querySelectorAll("#move-view .mv-list button")) b.disabled = on;
    if (on) {
      $("mv-cancel").disabled = false;
      $("mv-cancel").textContent = "取消";
      $("mv-phase").textContent = "正在搬家…";
      $("mv-found").textContent = "";
      $("mv-cur").textContent = "";
      $("mv-fill").style.width = "0%";
      $("mv-result").hidden = true;
    }
  }

  function follow() {
    if (M.task) return;
    M.task = taskFollower({
      mine: (phase) => phase === "move",
      progress: (st) => {
        $("mv-cur").textContent = st.cur || "";
        $("mv-cur").title = st.cur || "";
        if (M.recovering) return;
        const t = M.total;
        const pct = t && t.bytes ? Math.min(100, st.bytes / t.bytes * 100) : 0;
        $("mv-fill").style.width = pct.toFixed(1) + "%";
        $("mv-bar").setAttribute("aria-valuenow", pct.toFixed(0));
        $("mv-found").textContent = "已复制 " + B(st.bytes) + (t ? " / " + B(t.bytes) : "") + "，" + N(st.files) +
          (t ? " / " + N(t.files) : "") + " 个文件";
      },
      ended: finish,
      lost: () => { M.task = null; recovering(false); busy(false); },
      cancelButton: "mv-cancel",
      phaseText: "mv-phase",
    });
    busy(true);
    M.task.start();
    // A task this page did not start may be the start's recovery.
    if (!M.total) {
      quiet(api("/api/moves")).then((m) => { if (m.ok && m.recovering && M.task) recovering(true); });
    }
  }

  function recovering(on) {
    M.recovering = on;
    $("mv-cancel").hidden = on;
    if (!on) return;
    $("mv-phase").textContent = "正在处理上次没有完成的搬家…";
    $("mv-found").textContent = "处理完之前不能搬家或清理。";
  }

  async function finish() {
    M.task = null;
    recovering(false);
    let r = null;
    try { r = await api("/api/result"); } catch (e) { r = null; }
    busy(false);
    M.total = null;
    // What the start's recovery did is shown on top, from the list of moves.
    if (r && r.ok && r.kind === "move" && !r.recovery) {
      const freed = r.freeAfter - r.freeBefore;
      showResult(r.done, r.message + (r.done && freed > 0 ? "。C 盘多出 " + B(freed) + " 可用空间" : ""));
    }
    ctx.changed();
    await load();
  }

  function showResult(ok, text) {
    const box = $("mv-result");
    box.hidden = false;
    box.className = ok ? "mv-result ok" : "mv-result bad";
    box.textContent = text;
  }

  $("mv-go").addEventListener("click", start);
  $("mv-cancel").addEventListener("click", () => { if (M.task) M.task.cancel(); });
  $("mv-refresh").addEventListener("click", load);
  return { show, follow, moveFolder };
}
