// The space view ("空间分析"): where the space of drive C went. It starts the
// program's map task and follows it, shows one folder of the map at a time
// as a squarified treemap beside a list, the largest files and the kinds of
// file, and acts on what it shows: reveal in Explorer, move to the Recycle
// Bin, or jump to the catalogue item that cleans a folder.
//
// What the program refuses to move (each row's "refuse", in the user's
// words) has no checkbox: a lock mark in its place shows the reason on hover
// and on keyboard focus. A large selection is confirmed twice.
//
// A module of its own: SpaceView(ctx) wires the markup of index.html
// (#views, #space, #dlg-space) and returns {show(view), follow()}. The map
// task is followed by task_follower.js, the treemap laid out by treemap.js.
// ctx, from the cleaning view:
//   api(path, body)  one JSON request (a POST when body is given); rejects
//                    with {kind} when the program cannot be reached
//   h(tag, props, ...kids), fmtBytes(n), fmtCount(n), fileTime(t), toast(msg)
//   items            Map of catalogue item id -> item ({name, ...})
//   kinds()          the program's kinds of file: [{kind, extensions}, ...]
//   pick(id)         select that item in the cleaning view and bring it into view
//   changed()        files went to the Recycle Bin: the drive's figures moved
//   showMove()       the 搬家 view was shown (move_panel.js)
//   moveFolder(path) a folder row's "搬到其他盘": ask to move it (move_panel.js)
import { taskFollower } from "./task_follower.js";
import { squarify } from "./treemap.js";

export function SpaceView(ctx) {
  const $ = (id) => document.getElementById(id);
  const { h, api } = ctx;
  const B = ctx.fmtBytes, N = ctx.fmtCount;
  const TOP_N = 100;    // files the largest-files tab lists
  // A selection beyond either needs a second confirmation.
  const BIG_BYTES = 1024 * 1024 * 1024, BIG_FILES = 10000;
  const BIG_SHOWN = 5;  // largest parts of it that the second confirmation names

  // The kinds of file by extension, as the program totals them, in its
  // order ("其他" last: it takes the rest), from GET /api/meta. The page
  // needs them to colour single files.
  let KINDS = null, EXT = new Map();
  function kinds() {
    if (KINDS) return KINDS;
    const list = (ctx.kinds() || []).filter((k) => k && typeof k.kind === "string" && Array.isArray(k.extensions));
    const K = list.length ? list.map((k) => [k.kind, k.extensions.join(" ")]) : [["其他", ""]];
    EXT = new Map();
    K.forEach(([, l], k) => { for (const e of l.split(" ")) if (e) EXT.set(e, k); });
    if (list.length) KINDS = K;
    return K;
  }
  const kindOf = (path) => {
    const K = kinds();
    const m = /\.([0-9A-Za-z]{1,12})$/.exec(path);
    const k = m && EXT.get(m[1].toLowerCase());
    return k === undefined || k === null ? K.length - 1 : k;
  };
  const kindNo = (name) => Math.max(0, kinds().findIndex((k) => k[0] === name));
  const swatch = (k) => h("span", { class: "sp-sw", style: "background:var(--k" + k + ")", "aria-hidden": "true" });

  const V = {
    root: "",           // the map's root folder; "" while there is no map
    dir: null,          // the folder document on screen
    top: null,          // files of /api/map/top
    kinds: null,        // kinds of /api/map/kinds
    picked: new Map(), // path -> {bytes, files, dir}: what "移到回收站" moves
    cells: [],          // the treemap's cells, largest first
    focus: 0,           // the cell that takes the treemap's tab stop
    task: null,         // the map task's follower while it runs
    loaded: false,
    seq: 0,             // answers of older folder requests are dropped
  };

  const join = (p, name) => (p.endsWith("\\") ? p + name : p + "\\" + name);
  const pct = (b, of) => (of > 0 ? (b / of * 100).toFixed(1) : "0.0") + "%";
  const fail = (r, what) => ctx.toast((r && r.message) || what);
  const quiet = (p) => p.catch((e) => ({ ok: false, kind: e && e.kind }));

  // ---- tabs: the two views and the three panels ---------------------------

  function tabs(list, pick) {
    const all = () => [...list.querySelectorAll("[role=tab]")];
    list.addEventListener("click", (e) => {
      const t = e.target.closest("[role=tab]");
      if (t) pick(t);
    });
    list.addEventListener("keydown", (e) => {
      const l = all(), i = l.indexOf(document.activeElement);
      if (i < 0) return;
      const j = { ArrowLeft: i - 1, ArrowRight: i + 1, Home: 0, End: l.length - 1 }[e.key];
      if (j === undefined) return;
      e.preventDefault();
      const t = l[(j + l.length) % l.length];
      t.focus();
      pick(t);
    });
  }
  function select(list, on) {
    for (const t of list.querySelectorAll("[role=tab]")) {
      const yes = t === on;
      t.setAttribute("aria-selected", String(yes));
      t.tabIndex = yes ? 0 : -1;
      $(t.getAttribute("aria-controls")).hidden = !yes;
    }
  }

  function show(view) {
    select($("views"), $("tab-" + view) || $("tab-clean"));
    if (view === "move" && ctx.showMove) ctx.showMove();
    if (view !== "space") return;
    if (!V.loaded) { V.loaded = true; load(); }
    drawMap();
  }

  function showTab(name) {
    select($("sp-tabs"), $("sp-tab-" + name));
    if (name === "dir") drawMap();
  }

  // ---- the map task ---------------------------------------------------------

  function busy(on) {
    $("sp-start").disabled = on;
    $("sp-walk").disabled = on;
    $("sp-prog").hidden = !on;
    $("space").setAttribute("aria-busy", String(on));
    if (on) {
      $("sp-cancel").disabled = false;
      $("sp-cancel").textContent = "取消";
      $("sp-phase").textContent = "正在分析…";
      $("sp-found").textContent = "";
      $("sp-cur").textContent = "";
    }
  }

  async function start() {
    if (V.task) return;
    let r;
    // The walk folder by folder when the user asks for it; otherwise the
    // program reads the master file table where it can.
    const body = $("sp-walk").checked ? { walk: true } : {};
    try { r = await api("/api/map", body); } catch (e) {
      if (e.kind !== "gone") ctx.toast("没能开始空间分析，请再试一次。");
      return;
    }
    if (!r.ok) { fail(r, "没能开始空间分析。"); return; }
    follow();
  }

  // Follows the map task, whether this page started it or not.
  function follow() {
    if (V.task) return;
    V.task = taskFollower({
      mine: (phase) => phase === "map",
      progress: (st) => {
        $("sp-found").textContent = "已找到 " + N(st.files) + " 个文件，共 " + B(st.bytes);
        $("sp-cur").textContent = st.cur || "";
        $("sp-cur").title = st.cur || "";
      },
      ended: finish,
      lost: () => { V.task = null; busy(false); },
      cancelButton: "sp-cancel",
      phaseText: "sp-phase",
    });
    busy(true);
    V.task.start();
  }

  function cancel() {
    if (V.task) V.task.cancel();
  }

  async function finish(f) {
    V.task = null;
    await load();
    busy(false);
    ctx.toast(!f.cancelled ? "空间分析完成。" : V.root ? "空间分析已取消；下面是最近一次完成的分析结果。" : "空间分析已取消。");
  }

  // ---- reading the map ----------------------------------------------------------

  // The root folder (or the folder `at`, when the map still holds it), the
  // largest files and the kinds, all at once.
  async function load(at) {
    const dir = (p) => quiet(api("/api/map/dir" + (p ? "?path=" + encodeURIComponent(p) : "")));
    const seq = ++V.seq;
    const [d, t, k, here, info] = await Promise.all([dir(), quiet(api("/api/map/top?n=" + TOP_N)),
      quiet(api("/api/map/kinds")), at ? dir(at) : null, quiet(api("/api/map/info"))]);
    if (seq !== V.seq) return;
    V.root = d.ok ? d.path : "";
    V.top = t.ok ? t.files : null;
    V.kinds = k.ok ? k.kinds : null;
    if (!V.root) V.picked.clear();
    $("sp-note").textContent = !d.ok
      ? "还没有分析过。点「开始分析」，一会儿就能看到 C 盘的空间都被哪些文件夹和文件占用了。分析只读取，不会改动任何文件。"
      : "已分析 " + V.root + "：共 " + B(d.bytes) + "，" + N(d.files) + " 个文件，" + N(d.dirs) + " 个文件夹" +
        (d.denied ? "；" + N(d.denied) + " 个文件夹没有权限读取，未计入" : "") + "。";
    // How the map was made and the time it took, in the program's words.
    $("sp-method").hidden = !(d.ok && info.ok && info.methodText);
    $("sp-method").textContent = d.ok && info.ok
      ? info.methodText + (info.linksNote ? "；" + info.linksNote : "") + "。" : "";
    setDir(here && here.ok ? here : d.ok ? d : null);
    renderTop();
    renderKinds();
    renderPicked();
  }

  async function open(path, focusIn) {
    const seq = ++V.seq;
    let r;
    try { r = await api("/api/map/dir?path=" + encodeURIComponent(path)); } catch (e) { return; }
    if (seq !== V.seq) return;
    if (!r.ok) { fail(r, "读不到这个文件夹。"); return; }
    setDir(r);
    // The focus stays where the keyboard was: the map, the list or the
    // breadcrumb (the map when the breadcrumb has no link left).
    const f = focusIn && ((focusIn !== "map" && document.querySelector("#" + focusIn + " button")) ||
      $("sp-map").querySelector(".sp-cell"));
    if (f) f.focus();
  }

  function setDir(d) {
    V.dir = d;
    V.focus = 0;
    $("sp-tabs").hidden = $("sp-panels").hidden = !d;
    if (!d) return;
    $("sp-totals").textContent = "这个文件夹：" + B(d.bytes) + "，" + N(d.files) + " 个文件，" + N(d.dirs) + " 个文件夹" +
      (d.denied ? "，其中 " + N(d.denied) + " 个没有权限读取" : "");
    renderCrumbs();
    renderList();
    renderPicked();
    drawMap();
  }

  function renderCrumbs() {
    const box = $("sp-crumbs"), path = V.dir.path;
    box.textContent = "";
    const parts = path.slice(V.root.length).split("\\").filter(Boolean);
    let at = V.root;
    const add = (label, p, last) => box.append(last
      ? h("span", { class: "sp-here", "aria-current": "location", text: label })
      : h("button", { type: "button", class: "btn link small", text: label, onclick: () => open(p, "sp-crumbs") }));
    add(V.root, V.root, !parts.length);
    parts.forEach((name, i) => {
      at = join(at, name);
      box.append(h("span", { class: "sp-sep", "aria-hidden": "true", text: "›" }));
      add(name, at, i === parts.length - 1);
    });
  }

  // ---- actions on rows ------------------------------------------------------------

  async function reveal(path) {
    let r;
    try { r = await api("/api/shell/reveal", { path }); } catch (e) { return; }
    if (!r.ok) fail(r, "无法打开资源管理器。");
  }

  function acts(path, itemId, movable) {
    const out = h("span", { class: "sp-acts" });
    if (path) out.append(h("button", { type: "button", class: "btn link small", text: "在资源管理器中显示", onclick: () => reveal(path) }));
    if (movable && ctx.moveFolder) {
      out.append(h("button", { type: "button", class: "btn link small sp-move", text: "搬到其他盘",
        onclick: () => { show("move"); ctx.moveFolder(path); } }));
    }
    const it = itemId && ctx.items.get(itemId);
    if (it) {
      out.append(h("button", { type: "button", class: "btn link small sp-clean", "data-item": itemId, text: "用「" + it.name + "」清理",
        onclick: () => { show("clean"); ctx.pick(itemId); } }));
    }
    return out;
  }

  // The box of a row that may go; what it picks: {bytes, files, dir}.
  function pickBox(path, what, label) {
    const cb = h("input", { type: "checkbox", class: "sp-pick", "aria-label": "选中 " + label });
    cb.checked = V.picked.has(path);
    cb.addEventListener("change", () => {
      if (cb.checked) V.picked.set(path, what); else V.picked.delete(path);
      for (const o of document.querySelectorAll("#space .sp-pick")) if (o !== cb && o.dataset.path === path) o.checked = cb.checked;
      renderPicked();
    });
    cb.dataset.path = path;
    return cb;
  }

  // In place of the box of a row the program refuses to move: a lock mark
  // that takes the keyboard's focus and shows the reason beside it (on
  // hover too). Whatever was picked there before is no longer.
  let whyNo = 0;
  function refusedMark(path, why, label) {
    V.picked.delete(path);
    const id = "sp-why-" + (++whyNo);
    return h("span", { class: "sp-lockbox" },
      h("span", { class: "sp-lock", tabindex: "0", role: "img", "aria-label": "不能移到回收站：" + label, "aria-describedby": id }),
      h("span", { class: "sp-why", id, role: "tooltip", text: why }));
  }
  const pickOrLock = (path, why, what, label) => (why ? refusedMark(path, why, label) : pickBox(path, what, label));

  // The picked paths that go on their own (a path inside another picked
  // folder goes with it), as [path, {bytes, files, dir}].
  function pickedTops() {
    const low = [...V.picked.keys()].map((p) => p.toLowerCase());
    return [...V.picked].filter(([p]) => {
      const l = p.toLowerCase();
      return !low.some((o) => o !== l && l.startsWith(o.endsWith("\\") ? o : o + "\\"));
    });
  }
  // Bytes and files of the picked paths, each counted once.
  function pickedTotals() {
    let bytes = 0, files = 0;
    for (const [, w] of pickedTops()) { bytes += w.bytes; files += w.files; }
    return { bytes, files };
  }
  const pickedBytes = () => pickedTotals().bytes;

  function renderPicked() {
    const sum = pickedBytes();
    $("sp-recycle").disabled = !V.picked.size;
    $("sp-picked").textContent = V.picked.size ? "已选 " + V.picked.size + " 项，共 " + B(sum) : "勾选文件夹或文件后可以移到回收站";
  }

  // ---- the folder as a list ----------------------------------------------------

  function renderList() {
    const d = V.dir, body = $("sp-rows");
    body.textContent = "";
    const max = Math.max(1, ...d.children.map((c) => c.bytes), d.rest.bytes);
    const bar = (b) => h("span", { class: "sp-bar", "aria-hidden": "true" },
      h("span", { style: "width:" + Math.max(b ? 1 : 0, b / max * 100).toFixed(1) + "%" }));
    const row = (cls, pick, name, extra, b, files, dirs) => h("tr", { class: cls }, h("td", { class: "sp-c" }, pick),
      h("td", { class: "sp-name" }, name, extra),
      h("td", { class: "num" }, B(b), bar(b)),
      h("td", { class: "num" }, pct(b, d.bytes)),
      h("td", { class: "num", text: files == null ? "" : N(files) }),
      h("td", { class: "num", text: dirs == null ? "" : N(dirs) }));
    for (const c of d.children) {
      const p = c.name ? join(d.path, c.name) : d.path;
      if (!c.name) {
        body.append(row("sp-file", null, h("span", { class: "muted", text: "（这个文件夹里的文件）" }), acts(d.path), c.bytes, c.files, null));
      } else if (c.link) {
        body.append(row("sp-link", c.refuse ? refusedMark(p, c.refuse, p) : null,
          h("span", null, h("span", { class: "sp-fn", text: c.name }), " ", h("span", { class: "badge sp-lk", text: "链接" })),
          acts(p), 0, 0, null));
      } else {
        const cls = c.item && ctx.items.has(c.item) ? "sp-item" : "sp-dir";
        body.append(row(cls, pickOrLock(p, c.refuse, { bytes: c.bytes, files: c.files, dir: true }, p),
          h("button", { type: "button", class: "btn link sp-fn", "aria-label": "打开 " + c.name, text: c.name, onclick: () => open(p, "sp-list") }),
          acts(p, c.item, !c.refuse), c.bytes, c.files, c.dirs));
      }
    }
    if (d.rest.count) {
      body.append(row("sp-rest", null, h("span", { class: "muted", text: "其余 " + N(d.rest.count) + " 项（较小的文件夹）" }), null, d.rest.bytes, null, null));
    }
    if (!d.children.length) body.append(h("tr", null, h("td", { colspan: "6", class: "empty", text: "这个文件夹是空的。" })));
  }

  // ---- the folder as a treemap ---------------------------------------------------

  function drawMap() {
    const box = $("sp-map");
    if (!V.dir || box.offsetParent === null) return;
    const d = V.dir, W = box.clientWidth, H = box.clientHeight;
    const cells = [];
    for (const c of d.children) {
      if (!c.bytes) continue;
      if (!c.name) cells.push({ cls: "sp-file", name: "（这个文件夹里的文件）", bytes: c.bytes, files: c.files });
      else cells.push({ cls: c.item && ctx.items.has(c.item) ? "sp-item" : "sp-dir", name: c.name, bytes: c.bytes, files: c.files, path: join(d.path, c.name), refuse: c.refuse });
    }
    if (d.rest.bytes) cells.push({ cls: "sp-rest", name: "其余 " + N(d.rest.count) + " 项", bytes: d.rest.bytes });
    cells.sort((a, b) => b.bytes - a.bytes);
    V.cells = cells;
    box.textContent = "";
    box.setAttribute("aria-label", "占用图：" + d.path + "，方向键在格子间移动，回车打开文件夹" + (d.path !== V.root ? "，退格键回到上一层" : ""));
    if (!cells.length || W < 10 || H < 10) {
      box.append(h("p", { class: "empty", text: "这个文件夹里没有占用空间的内容。" }));
      return;
    }
    const rects = squarify(cells.map((c) => c.bytes), { x: 0, y: 0, w: W, h: H });
    const frag = document.createDocumentFragment();
    cells.forEach((c, i) => {
      const { x, y, w, h: ht } = rects[i];
      const size = B(c.bytes), share = pct(c.bytes, d.bytes);
      c.el = h("div", {
        class: "sp-cell " + c.cls, role: "button", tabindex: i === V.focus ? "0" : "-1", "data-i": String(i),
        "aria-label": c.name + "，" + size + "，占 " + share, "aria-disabled": c.path ? null : "true",
        style: "left:" + x.toFixed(1) + "px;top:" + y.toFixed(1) + "px;width:" + w.toFixed(1) + "px;height:" + ht.toFixed(1) + "px",
      });
      if (w >= 44 && ht >= 20) c.el.append(h("span", { class: "sp-cn", text: c.name }));
      if (w >= 44 && ht >= 38) c.el.append(h("span", { class: "sp-cs", text: size }));
      frag.append(c.el);
    });
    box.append(frag, h("div", { class: "sp-tip", id: "sp-tip", hidden: true, "aria-hidden": "true" }));
  }

  function tip(c, px, py) {
    const t = $("sp-tip");
    if (!t) return;
    if (!c) { t.hidden = true; return; }
    t.textContent = "";
    t.append(...[h("strong", { text: c.name }), h("span", { text: B(c.bytes) + " · 占本文件夹 " + pct(c.bytes, V.dir.bytes) }),
      c.files != null && h("span", { text: N(c.files) + " 个文件" }),
      c.refuse && h("span", { class: "sp-tip-why", text: "不能移到回收站：" + c.refuse })].filter(Boolean));
    t.hidden = false;
    const box = $("sp-map"), W = box.clientWidth, H = box.clientHeight;
    const x = px + 14 + t.offsetWidth > W ? Math.max(0, px - 14 - t.offsetWidth) : px + 14;
    const y = py + 14 + t.offsetHeight > H ? Math.max(0, py - 14 - t.offsetHeight) : py + 14;
    t.style.left = x + "px";
    t.style.top = y + "px";
  }
  const cellOf = (el) => { const e = el && el.closest && el.closest(".sp-cell"); return e ? V.cells[Number(e.dataset.i)] : null; };

  function enter(c) {
    if (c && c.path) open(c.path, "map");
  }
  function up() {
    if (!V.dir || V.dir.path === V.root) return;
    let p = V.dir.path.slice(0, V.dir.path.lastIndexOf("\\"));
    if (p.length < 3) p += "\\";  // "C:" is the drive's root "C:\"
    open(p.length < V.root.length ? V.root : p, "map");
  }

  function wireMap() {
    const box = $("sp-map");
    box.addEventListener("mousemove", (e) => {
      const r = box.getBoundingClientRect();
      tip(cellOf(e.target), e.clientX - r.left, e.clientY - r.top);
    });
    box.addEventListener("mouseleave", () => tip(null));
    box.addEventListener("click", (e) => enter(cellOf(e.target)));
    box.addEventListener("focusin", (e) => {
      const c = cellOf(e.target);
      if (!c) return;
      V.focus = Number(c.el.dataset.i);
      tip(c, c.el.offsetLeft + c.el.offsetWidth / 2, c.el.offsetTop + c.el.offsetHeight / 2);
    });
    box.addEventListener("focusout", () => tip(null));
    box.addEventListener("keydown", (e) => {
      const c = cellOf(e.target);
      if (!c) return;
      const n = V.cells.length, i = Number(c.el.dataset.i);
      const j = { ArrowRight: i + 1, ArrowDown: i + 1, ArrowLeft: i - 1, ArrowUp: i - 1, Home: 0, End: n - 1 }[e.key];
      if (e.key === "Enter" || e.key === " ") { e.preventDefault(); enter(c); return; }
      if (e.key === "Backspace") { e.preventDefault(); up(); return; }
      if (j === undefined) return;
      e.preventDefault();
      const to = V.cells[Math.min(n - 1, Math.max(0, j))];
      c.el.tabIndex = -1;
      to.el.tabIndex = 0;
      to.el.focus();
    });
    new ResizeObserver(() => drawMap()).observe(box);
  }

  // ---- the largest files and the kinds -------------------------------------------

  function renderTop() {
    const body = $("sp-top-rows");
    body.textContent = "";
    if (!V.top) return;
    for (const f of V.top) {
      const cut = f.path.lastIndexOf("\\"), k = kindOf(f.path);
      body.append(h("tr", { "data-kind": kinds()[k][0] },
        h("td", { class: "sp-c" }, pickOrLock(f.path, f.refuse, { bytes: f.bytes, files: 1, dir: false }, f.path)),
        h("td", { class: "sp-name" }, h("span", { class: "sp-fn", text: f.path.slice(cut + 1) }),
          h("div", { class: "dir", text: f.path.slice(0, cut > 2 ? cut : cut + 1) }), acts(f.path)),
        h("td", null, swatch(k), kinds()[k][0]),
        h("td", { class: "num", text: B(f.bytes) }),
        h("td", { class: "num", text: ctx.fileTime(f.time) })));
    }
    if (!V.top.length) body.append(h("tr", null, h("td", { colspan: "5", class: "empty", text: "没有文件。" })));
  }

  function renderKinds() {
    const body = $("sp-kind-rows");
    body.textContent = "";
    if (!V.kinds) return;
    const total = V.kinds.reduce((a, k) => a + k.bytes, 0), max = Math.max(1, ...V.kinds.map((k) => k.bytes));
    for (const k of V.kinds) {
      const n = kindNo(k.kind), ext = kinds()[n][1];
      body.append(h("tr", { "data-kind": k.kind },
        h("td", { class: "sp-name" }, swatch(n), h("strong", { text: k.kind }),
          h("div", { class: "dir", text: ext ? ext.split(" ").map((e) => "." + e).join(" ") : "其余所有文件" })),
        h("td", { class: "num" }, B(k.bytes), h("span", { class: "sp-bar", "aria-hidden": "true" },
          h("span", { style: "background:var(--k" + n + ");width:" + (k.bytes / max * 100).toFixed(1) + "%" }))),
        h("td", { class: "num", text: pct(k.bytes, total) }),
        h("td", { class: "num", text: N(k.files) })));
    }
  }

  // ---- moving to the Recycle Bin ----------------------------------------------------

  function ask(build) {
    const dlg = $("dlg-space");
    return new Promise((resolve) => {
      const onClose = () => { dlg.removeEventListener("close", onClose); resolve(dlg.returnValue === "yes"); };
      build($("sp-dlg-body"));
      dlg.returnValue = "";
      dlg.addEventListener("close", onClose);
      dlg.showModal();
    });
  }

  // The dialog's buttons: a question (yes and no) or a report (one button).
  function buttons(title, yes, no) {
    $("sp-dlg-title").textContent = title;
    $("sp-dlg-yes").hidden = !yes;
    if (yes) $("sp-dlg-yes").textContent = yes;
    $("sp-dlg-no").textContent = no;
  }

  // A selection over BIG_BYTES or BIG_FILES: what it holds, said once more
  // with its largest folders (its largest files when it holds no folder).
  function askBig(t) {
    const tops = pickedTops().sort((a, b) => b[1].bytes - a[1].bytes);
    const dirs = tops.filter(([, w]) => w.dir);
    const shown = (dirs.length ? dirs : tops).slice(0, BIG_SHOWN);
    buttons("再确认一次：这次要移走的内容很多", "仍然移到回收站", "取消");
    return ask((body) => {
      body.textContent = "";
      body.append(h("p", { id: "sp-big-sum", text: "选中的内容共 " + B(t.bytes) + "，" + N(t.files) + " 个文件。请确认这些都是不再需要的：" }),
        h("p", { class: "small", text: dirs.length ? "其中最大的文件夹：" : "其中最大的文件：" }),
        h("ul", { class: "confirm-list", id: "sp-dlg-list" }, shown.map(([p, w]) =>
          h("li", null, h("span", { class: "sp-fn", text: p }),
            h("span", { class: "sz", text: B(w.bytes) + (w.dir ? "，" + N(w.files) + " 个文件" : "") })))),
        h("p", { class: "small muted sum-line", text: "移到回收站后，这些文件仍占用 C 盘，直到清空回收站；清空之前，随时可以从回收站还原。" }));
    });
  }

  // What the toast says after a recycle: what went, and what did not and why.
  function resultText(r, bad) {
    const moved = r.results.length - bad.length;
    const went = "已把 " + moved + " 项移到回收站（" + B(r.bytes) + "）";
    if (!bad.length) return went + "。";
    if (moved) return went + "；" + bad.length + " 项没有移走，原因见列表。";
    if (bad.length === 1) return "没有移走 " + bad[0].path + "：" + bad[0].message;
    return "这 " + bad.length + " 项都没有移走，原因见列表。";
  }

  async function recycle() {
    const paths = [...V.picked.keys()];
    if (!paths.length) return;
    const t = pickedTotals();
    buttons("移到回收站", "移到回收站", "取消");
    const yes = await ask((body) => {
      body.textContent = "";
      body.append(h("p", { text: "将把下面 " + paths.length + " 项移到回收站，共 " + B(t.bytes) + "：" }),
        h("ul", { class: "confirm-list", id: "sp-dlg-list" }, paths.map((p) =>
          h("li", null, h("span", { class: "sp-fn", text: p }), h("span", { class: "sz", text: B(V.picked.get(p).bytes) })))),
        h("p", { class: "small muted sum-line", text: "移到回收站的文件仍占用 C 盘，清空回收站后才会腾出空间；清空之前，随时可以从回收站还原。" }));
    });
    if (!yes) return;
    if ((t.bytes > BIG_BYTES || t.files > BIG_FILES) && !(await askBig(t))) return;
    let r;
    try { r = await api("/api/map/recycle", { paths }, 120000); } catch (e) {
      if (e.kind !== "gone") ctx.toast("没有收到回收的结果，请刷新后查看。");
      return;
    }
    if (!r.ok) { fail(r, "没能移到回收站。"); return; }
    const bad = r.results.filter((x) => !x.ok);
    V.picked.clear();  // what went is gone, what did not is reported below
    const moved = r.results.length - bad.length;
    ctx.toast(resultText(r, bad));
    await load(V.dir && V.dir.path);
    if (moved) ctx.changed();
    if (!bad.length) return;
    buttons("有 " + bad.length + " 项没有移走", null, "知道了");
    await ask((body) => {
      body.textContent = "";
      body.append(h("ul", { class: "confirm-list", id: "sp-dlg-list" }, bad.map((x) =>
        h("li", null, h("span", { class: "sp-fn", text: x.path }), h("span", { class: "sz", text: x.message })))));
    });
  }

  // ---- start ------------------------------------------------------------------------

  tabs($("views"), (t) => show(t.dataset.view));
  tabs($("sp-tabs"), (t) => showTab(t.id.slice(7)));
  $("sp-start").addEventListener("click", start);
  $("sp-cancel").addEventListener("click", cancel);
  $("sp-recycle").addEventListener("click", recycle);
  $("sp-dlg-yes").addEventListener("click", () => $("dlg-space").close("yes"));
  $("sp-dlg-no").addEventListener("click", () => $("dlg-space").close("no"));
  wireMap();
  renderPicked();
  return { show, follow };
}
