"use strict";
// Tamsel interface: one page that talks to the program's JSON API on the
// same origin. No framework and no network resource: the program runs
// offline, so everything the page needs is in these three files.
(function () {
  const $ = (id) => document.getElementById(id);

  const POLL_MS = 400;            // status polling while a task runs
  const BEAT_MS = 5000;           // idle check that the program is still there
  const FILETIME_UNIX_MS = 11644473600000; // 1601-01-01 to 1970-01-01 in ms
  const STORE_KEY = "tamsel.selection.v1";
  const TOKEN_KEY = "tamsel.token";          // sessionStorage: this tab only
  const TOKEN_RE = /^[0-9a-f]{32}$/;

  const RISK = { low: "低风险", medium: "中风险", high: "高风险" };
  // What cleaning the hibernation item does, said wherever the user decides on it.
  const HIBERNATE_NOTE = "休眠文件 hiberfil.sys 由系统管理，这里只显示它的大小。清理会关闭休眠并保持关闭，文件随即删除；「快速启动」也随之停用，开机可能稍慢。以后需要时，可在管理员命令提示符中运行 powercfg /hibernate on 重新开启（文件会重建）。";
  const PHASE = { scan: "正在扫描…", clean: "正在清理…", "clean-dryrun": "正在预览清理…" };

  // The program's own facts (GET /api/meta), filled once at start-up. Until
  // then, or when it cannot be read: no limit is checked here (the program
  // still checks its own) and no item is marked as needing an administrator.
  const META = { feedbackMaxChars: 0, detailDefault: 0, detailMax: 0, adminItems: new Set() };

  function loadMeta(m) {
    if (!m || !m.ok) return;
    META.feedbackMaxChars = Number(m.feedbackMaxChars) || 0;
    META.detailDefault = (m.detailFiles && Number(m.detailFiles.default)) || 0;
    META.detailMax = (m.detailFiles && Number(m.detailFiles.max)) || 0;
    META.adminItems = new Set(Array.isArray(m.adminItems) ? m.adminItems : []);
  }

  const S = {
    cats: [],
    items: new Map(),       // id -> item of /api/rules
    catOf: new Map(),       // item id -> category
    selected: new Set(),
    env: null,
    admin: null,
    scan: null,             // Map id -> {bytes, files} of the last scan
    scanAt: 0,              // local ms when that scan finished
    scanPartial: false,     // the last scan was cancelled half-way
    scanStale: false,       // a real clean ran after the last scan
    cleaned: new Map(),     // id -> bytes removed by real cleans since the scan
    recycle: null,          // {items, bytes}
    shell: null,            // /api/shell/info, null when unavailable
    task: null,             // the task this page follows
    pollTimer: 0,
    beatTimer: 0,
    gone: false,
    ended: false,
    token: "",              // the program's per-run secret, sent with every API call
    lastClean: null,        // {res, task, at} of the last clean or preview
    // The engine keeps its cancel flag up after a cancelled task until the
    // next task starts, and file listings come back empty meanwhile.
    cancelLeft: false,
    detail: null,
    settings: null,         // the document of /api/settings
    skip: new Map(),        // item id -> Map(path -> size) of files left out until the next scan
    hist: null,             // the record shown in the history dialog
    schedule: null,         // the document of /api/schedule
  };

  // ---- formatting -------------------------------------------------------

  function fmtBytes(n) {
    n = Number(n) || 0;
    if (n < 1024) return n + " B";
    const units = ["KB", "MB", "GB", "TB"];
    let v = n / 1024, i = 0;
    while (v >= 1023.95 && i < units.length - 1) { v /= 1024; i++; }
    return v.toFixed(1) + " " + units[i];
  }
  const fmtCount = (n) => (Number(n) || 0).toLocaleString("zh-CN");
  const pad = (n) => String(n).padStart(2, "0");

  function fmtDate(d) {
    return d.getFullYear() + "-" + pad(d.getMonth() + 1) + "-" + pad(d.getDate()) +
      " " + pad(d.getHours()) + ":" + pad(d.getMinutes());
  }
  // Raw Windows FILETIME (100-ns units since 1601-01-01 UTC) to a local time.
  function fileTimeText(t) {
    const n = Number(t);
    if (!n) return "—";
    const d = new Date(n / 10000 - FILETIME_UNIX_MS);
    return isNaN(d.getTime()) ? "—" : fmtDate(d);
  }
  function clockText(ms) {
    const d = new Date(ms), now = new Date();
    const hm = pad(d.getHours()) + ":" + pad(d.getMinutes());
    return d.toDateString() === now.toDateString() ? hm : fmtDate(d);
  }
  function ageText(ms) {
    const s = Math.max(0, Math.round((Date.now() - ms) / 1000));
    let a;
    if (s < 60) a = "刚刚";
    else if (s < 3600) a = Math.floor(s / 60) + " 分钟前";
    else if (s < 86400) a = Math.floor(s / 3600) + " 小时前";
    else a = Math.floor(s / 86400) + " 天前";
    return a + "（" + clockText(ms) + "）";
  }

  function h(tag, props, ...kids) {
    const el = document.createElement(tag);
    if (props) {
      for (const k of Object.keys(props)) {
        const v = props[k];
        if (v == null || v === false) continue;
        if (k === "class") el.className = v;
        else if (k === "text") el.textContent = v;
        else if (k.startsWith("on")) el.addEventListener(k.slice(2), v);
        else el.setAttribute(k, v === true ? "" : v);
      }
    }
    for (const c of kids.flat()) if (c != null && c !== false) el.append(c);
    return el;
  }

  let toastTimer = 0;
  function toast(msg) {
    const t = $("toast");
    t.textContent = msg;
    t.hidden = false;
    clearTimeout(toastTimer);
    toastTimer = setTimeout(() => { t.hidden = true; }, 5000);
  }

  // ---- talking to the program ------------------------------------------

  // The program opens the page with its per-run secret in the address
  // fragment (#token=...), which no server, log or Referer ever sees. The
  // page keeps it for this tab only, so that a reload still works, and takes
  // it out of the address bar, so that a bookmark or a copied address does
  // not carry it.
  function takeToken() {
    let token = "";
    const hash = location.hash.replace(/^#/, "");
    const params = new URLSearchParams(hash);
    if (params.has("token")) {
      token = params.get("token") || "";
      params.delete("token");
      const rest = params.toString();
      history.replaceState(history.state, "", location.pathname + location.search + (rest ? "#" + rest : ""));
      if (TOKEN_RE.test(token)) {
        try { sessionStorage.setItem(TOKEN_KEY, token); } catch (e) { /* storage off: this load only */ }
      }
    }
    if (!TOKEN_RE.test(token)) {
      try { token = sessionStorage.getItem(TOKEN_KEY) || ""; } catch (e) { token = ""; }
    }
    return TOKEN_RE.test(token) ? token : "";
  }

  // The page cannot act without the secret (opened from a bookmark or the
  // history, or the program was started again and drew a new one): it says
  // so once, instead of failing call by call.
  function showLocked() {
    if (S.ended) return;
    S.ended = true;
    S.task = null;
    stopTimers();
    closeDialogs();
    setInert(true);
    $("locked").hidden = false;
    $("gone").hidden = true;
    document.title = "请重新打开 Tamsel";
    document.body.dataset.locked = "1";
  }

  class ApiError extends Error {
    constructor(kind) { super(kind); this.kind = kind; }
  }

  // One JSON request. A 404 means this build lacks the endpoint; a failed
  // fetch makes the page check whether the program is still there.
  async function api(path, body, timeout = 15000) {
    if (S.ended || S.gone) throw new ApiError("gone");
    const init = {
      cache: "no-store",
      signal: AbortSignal.timeout(timeout),
      headers: { "X-Tamsel-Token": S.token },
    };
    if (body !== undefined) {
      init.method = "POST";
      init.headers["Content-Type"] = "application/json";
      init.body = JSON.stringify(body);
    }
    let r;
    try {
      r = await fetch(path, init);
    } catch (e) {
      const alive = await checkAlive();
      throw new ApiError(alive ? "timeout" : "gone");
    }
    if (r.status === 404) throw new ApiError("missing");
    if (r.status === 403) {
      showLocked();
      throw new ApiError("locked");
    }
    try {
      return await r.json();
    } catch (e) {
      throw new ApiError("bad");
    }
  }

  let probing = null;
  function checkAlive() {
    if (S.ended) return Promise.resolve(false);
    if (S.gone) return Promise.resolve(false);
    if (probing) return probing;
    probing = (async () => {
      let ok = false;
      try {
        const r = await fetch("/api/status", {
          cache: "no-store",
          signal: AbortSignal.timeout(4000),
          headers: { "X-Tamsel-Token": S.token },
        });
        // Refused means the program is there but no longer takes this page.
        if (r.status === 403) showLocked();
        ok = r.ok || r.status === 403;
      } catch (e) { ok = false; }
      probing = null;
      if (!ok) setGone();
      return ok;
    })();
    return probing;
  }

  function closeDialogs() {
    for (const d of document.querySelectorAll("dialog[open]")) d.close();
  }

  function setInert(on) {
    for (const el of document.querySelectorAll(".top .actions, .drive, main")) el.inert = on;
  }

  function stopTimers() {
    clearTimeout(S.pollTimer);
    clearTimeout(S.beatTimer);
  }

  function setGone() {
    if (S.gone || S.ended) return;
    S.gone = true;
    S.task = null;
    stopTimers();
    closeDialogs();
    setInert(true);
    $("progress").hidden = true;
    $("gone").hidden = false;
    document.title = "连接已断开 · Tamsel";
    $("btn-reconnect").focus();
  }

  async function reconnect() {
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

  function showEnded(title, text) {
    S.ended = true;
    S.task = null;
    stopTimers();
    closeDialogs();
    setInert(true);
    $("ended-title").textContent = title;
    $("ended-text").textContent = text;
    $("ended").hidden = false;
    $("gone").hidden = true;
    document.title = title + " · Tamsel";
  }

  // While no task runs, a light request every few seconds notices a program
  // that was closed or crashed, so the page can say so instead of waiting
  // for the next click to fail.
  function beat() {
    clearTimeout(S.beatTimer);
    if (S.gone || S.ended) return;
    S.beatTimer = setTimeout(async () => {
      renderAge();
      if (!document.hidden && !S.task) {
        try {
          const st = await api("/api/status");
          if (st.busy && !S.task) follow(st.phase);
        } catch (e) { /* checkAlive has already judged */ }
      }
      beat();
    }, BEAT_MS);
  }

  // ---- catalogue ---------------------------------------------------------

  const needsAdmin = (it) => META.adminItems.has(it.id);

  function saveSelection() {
    if (S.settings) { S.settings.selected = selectedIds(); saveSettings(); return; }
    try { localStorage.setItem(STORE_KEY, JSON.stringify([...S.selected])); } catch (e) { /* private mode */ }
  }
  function loadSelection() {
    let ids = null;
    if (S.settings) ids = S.settings.selected;
    else try { ids = JSON.parse(localStorage.getItem(STORE_KEY) || "null"); } catch (e) { ids = null; }
    S.selected = new Set();
    if (Array.isArray(ids)) {
      for (const id of ids) if (S.items.has(id)) S.selected.add(id);
    } else {
      setDefaults();
    }
  }
  function setDefaults() {
    S.selected = new Set();
    for (const it of S.items.values()) if (it.defaultEnabled) S.selected.add(it.id);
  }
  const selectedIds = () => {
    const out = [];
    for (const c of S.cats) for (const it of c.items) if (S.selected.has(it.id)) out.push(it.id);
    return out;
  };

  function renderCatalog() {
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
        h("ul", { class: "items", id: listId }, c.items.map(renderItem)));
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

  function renderItem(it) {
    const cbId = "it-" + it.id;
    const descId = "desc-" + it.id;
    const cb = h("input", { type: "checkbox", id: cbId, "data-id": it.id, "aria-describedby": descId });
    cb.addEventListener("change", () => {
      if (cb.checked) S.selected.add(it.id); else S.selected.delete(it.id);
      selectionChanged();
    });
    const badges = [h("span", { class: "badge risk-" + it.risk, text: RISK[it.risk] || it.risk })];
    if (it.mode === "measure") badges.push(h("span", { class: "badge mode", text: "仅统计" }));
    if (it.mode === "dir") badges.push(h("span", { class: "badge mode", text: "整个文件夹删除" }));
    if (needsAdmin(it)) badges.push(h("span", { class: "badge", text: "需管理员" }));
    let desc = it.desc;
    if (it.mode === "measure") desc += "。只统计占用，从不删除。";
    const detailBtn = h("button", {
      type: "button", class: "btn link small", "aria-label": "查看「" + it.name + "」的文件", text: "查看文件",
    });
    detailBtn.addEventListener("click", () => openDetail(it.id));
    return h("li", { class: "item" + (it.mode === "measure" ? " is-measure" : ""), "data-id": it.id },
      cb,
      h("div", null,
        h("label", { for: cbId, class: "item-name", text: it.name }),
        h("span", { class: "item-badges" }, badges),
        h("p", { class: "item-desc", id: descId, text: desc })),
      h("div", { class: "item-size", "aria-live": "off" }),
      h("div", { class: "item-act" }, detailBtn));
  }

  function toggleCategory(c) {
    const all = c.items.every((it) => S.selected.has(it.id));
    for (const it of c.items) {
      if (all) S.selected.delete(it.id); else S.selected.add(it.id);
    }
    selectionChanged();
  }

  function selectionChanged() {
    saveSelection();
    syncChecks();
    renderSummary();
  }

  // Item boxes follow the selection; category boxes are tri-state.
  function syncChecks() {
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

  // Bytes the list and the totals show for one item, or null when unknown.
  function itemFigure(it) {
    if (it.mode === "recyclebin") {
      return S.recycle ? { bytes: S.recycle.bytes, files: S.recycle.items, recycle: true } : null;
    }
    const f = S.scan ? S.scan.get(it.id) || null : null;
    const left = S.skip.get(it.id);
    if (!f || !left || !left.size) return f;
    let b = 0;
    for (const size of left.values()) b += size;
    return { bytes: Math.max(0, f.bytes - b), files: Math.max(0, f.files - left.size) };
  }

  function renderSizes() {
    for (const it of S.items.values()) {
      const li = document.querySelector('.item[data-id="' + it.id + '"] .item-size');
      if (!li) continue;
      li.textContent = "";
      const f = itemFigure(it);
      if (!f) {
        li.append(h("span", { class: "v none", text: S.scan ? "未扫描" : "—", title: "尚未扫描" }));
      } else {
        li.append(h("span", { class: "v", text: fmtBytes(f.bytes) }));
        const n = f.recycle ? fmtCount(f.files) + " 项" : fmtCount(f.files) + " 个文件";
        li.append(h("span", { class: "n", text: n }));
      }
      if (S.cleaned.has(it.id)) {
        li.append(h("span", { class: "done", text: "已清理 " + fmtBytes(S.cleaned.get(it.id)) }));
      }
      const left = S.skip.get(it.id);
      if (left && left.size) li.append(h("span", { class: "n skipped", text: "已排除 " + fmtCount(left.size) + " 个文件" }));
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

  function catTotals(c) {
    let reclaim = 0, measure = 0, known = false, sel = 0;
    if (!S.scan) return { reclaim, measure, known, sel };
    for (const it of c.items) {
      const f = itemFigure(it);
      if (!f) continue;
      known = true;
      if (it.mode === "measure") measure += f.bytes;
      else {
        reclaim += f.bytes;
        if (S.selected.has(it.id)) sel += f.bytes;
      }
    }
    return { reclaim, measure, known, sel };
  }

  // ---- results ------------------------------------------------------------

  function applyScan(r, partial) {
    if (!r || !r.ok || r.empty) {
      S.scan = null;
    } else {
      S.scan = new Map(r.items.map((i) => [i.id, { bytes: i.bytes, files: i.files }]));
      S.scanAt = Date.now() - (Number(r.age) || 0);
    }
    S.scanPartial = !!partial;
    S.scanStale = false;
    S.cleaned = new Map();
    renderSizes();
    renderSummary();
  }

  function renderAge() {
    const el = $("scan-age");
    if (el && S.scan) el.textContent = "上次扫描：" + ageText(S.scanAt);
  }

  function renderSummary() {
    const body = $("sum-body");
    body.textContent = "";
    if (!S.scan) {
      body.append(h("p", { class: "small muted", text: "还没有扫描过。扫描后这里会显示能腾出多少空间，以及各类占用的比例。" }));
      return;
    }
    let total = 0, sel = 0, measure = 0, selCount = 0;
    const rows = [];
    S.cats.forEach((c, ci) => {
      const t = catTotals(c);
      total += t.reclaim;
      sel += t.sel;
      measure += t.measure;
      rows.push({ c, ci, bytes: t.reclaim });
    });
    for (const id of S.selected) {
      const it = S.items.get(id);
      if (it && it.mode !== "measure" && itemFigure(it)) selCount++;
    }
    body.append(
      h("p", { class: "small muted", text: "可以腾出的空间（已扫描的项目）" }),
      h("div", { class: "total", id: "sum-total", text: fmtBytes(total) }),
      h("p", { class: "small sum-line", id: "sum-selected", text: "其中已勾选 " + selCount + " 项：" + fmtBytes(sel) }),
      h("p", { class: "small muted", id: "scan-age", text: "上次扫描：" + ageText(S.scanAt) }));
    if (measure > 0) {
      body.append(h("p", { class: "small muted sum-line", text: "另有 " + fmtBytes(measure) + " 只统计、不会删除（聊天记录、系统文件等）。" }));
    }
    if (S.scanPartial) body.append(h("p", { class: "note", text: "上次扫描中途取消了，只有取消前完成的项目有数字。" }));
    if (S.scanStale) body.append(h("p", { class: "note", text: "扫描之后已经清理过，上面的数字可能已经过时，建议重新扫描。" }));

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

  async function loadScan(partial) {
    try {
      applyScan(await api("/api/scanresult"), partial);
    } catch (e) { /* the page already says when the program is gone */ }
  }

  async function refreshEnv() {
    try {
      const env = await api("/api/env");
      if (env && env.ok) renderEnv(env);
    } catch (e) { /* keep the old figures */ }
  }
  async function refreshRecycle() {
    try {
      const r = await api("/api/recycle");
      S.recycle = r && r.ok && r.recycle && r.recycle.ok ? r.recycle : null;
    } catch (e) { S.recycle = null; }
    renderSizes();
    renderSummary();
  }

  function renderEnv(env) {
    S.env = env;
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

  // ---- tasks: scan, preview, clean ---------------------------------------

  function setBusy(on) {
    for (const id of ["btn-scan", "btn-dry", "btn-clean"]) $(id).disabled = on;
    $("progress").hidden = !on;
    document.querySelector(".side").setAttribute("aria-busy", String(on));
    if (on) {
      $("btn-cancel").disabled = false;
      $("btn-cancel").textContent = "取消";
      $("prog-found").textContent = "";
      $("prog-cur").textContent = "";
      $("prog-count").textContent = "";
      $("prog-fill").style.width = "0%";
    }
  }

  async function startTask(kind) {
    if (S.task || S.gone || S.ended) return;
    const sel = selectedIds();
    const verb = kind === "scan" ? "扫描" : "清理";
    if (!sel.length) { toast("请先勾选要" + verb + "的项目。"); return; }
    const ids = kind === "scan" ? sel : sel.filter((id) => S.items.get(id).mode !== "measure");
    if (!ids.length) { toast("勾选的都是「仅统计」项目，它们不会被清理。请再勾选别的项目。"); return; }
    let restartExplorer = false;
    if (kind === "clean") {
      const answer = await confirmClean(sel, ids);
      if (!answer) return;
      restartExplorer = answer.restartExplorer;
    }
    if (S.task || S.gone || S.ended) return;
    const task = { kind, ids, cancelled: false, idle: 0, errs: 0 };
    S.task = task;
    setBusy(true);
    $("prog-phase").textContent = kind === "scan" ? PHASE.scan : kind === "dry" ? PHASE["clean-dryrun"] : PHASE.clean;
    let res;
    try {
      const olderThanDays = ageDays();
      res = kind === "scan"
        ? await api("/api/scan", { items: ids, olderThanDays })
        : await api("/api/clean", { items: ids, dryRun: kind === "dry", restartExplorer, olderThanDays, skip: skipFor(ids) });
    } catch (e) {
      if (S.task === task) { S.task = null; setBusy(false); }
      if (e.kind !== "gone") toast("没能开始" + verb + "，请再试一次。");
      return;
    }
    if (S.task !== task) return;
    if (!res.ok) {
      S.task = null;
      setBusy(false);
      toast(res.message || "没能开始" + verb + "。");
      // Another window may have started a task: follow it here too.
      try {
        const st = await api("/api/status");
        if (st.busy) follow(st.phase);
      } catch (e) { /* nothing to follow */ }
      return;
    }
    clearTimeout(S.beatTimer);
    poll();
  }

  // A task this page did not start (another window, or a reload mid-task).
  function follow(phase) {
    if (phase === "map") { if (space) space.follow(); return; }  // the space view's task
    if (S.task || S.gone || S.ended) return;
    const kind = phase === "clean" ? "clean" : phase === "clean-dryrun" ? "dry" : "scan";
    S.task = { kind, ids: null, cancelled: false, idle: 0, errs: 0, followed: true };
    setBusy(true);
    $("prog-phase").textContent = PHASE[phase] || "正在处理…";
    clearTimeout(S.beatTimer);
    poll();
  }

  async function poll() {
    const t = S.task;
    if (!t || S.gone || S.ended) return;
    let st = null;
    try {
      st = await api("/api/status");
    } catch (e) {
      if (e.kind === "gone") return;
      t.errs++;
    }
    if (S.task !== t) return;
    if (st) {
      t.errs = 0;
      renderProgress(st, t);
      // The engine clears busy just before it raises finished: only both
      // together mean the results are published.
      if (st.finished && !st.busy) { finishTask(t); return; }
      t.idle = !st.busy && !st.finished ? t.idle + 1 : 0;
      if (t.idle > 10) { finishTask(t); return; }
    } else if (t.errs > 10) {
      S.task = null;
      setBusy(false);
      toast("读取进度失败，请刷新页面。");
      beat();
      return;
    }
    S.pollTimer = setTimeout(poll, POLL_MS);
  }

  function renderProgress(st, t) {
    if (t.cancelled) $("prog-phase").textContent = "正在取消…";
    else if (PHASE[st.phase]) $("prog-phase").textContent = PHASE[st.phase];
    const total = Number(st.total) || 0, done = Math.min(Number(st.done) || 0, total || Infinity);
    const pct = total ? done / total * 100 : 0;
    $("prog-fill").style.width = pct.toFixed(1) + "%";
    const bar = $("prog-bar");
    bar.setAttribute("aria-valuenow", pct.toFixed(0));
    bar.setAttribute("aria-valuetext", "已完成 " + done + " / " + total + " 项");
    $("prog-count").textContent = done + " / " + total + " 项";
    const verb = st.phase === "clean" ? "已清理 " : "已找到 ";
    $("prog-found").textContent = verb + fmtBytes(st.bytes) + "，" + fmtCount(st.files) + " 个文件";
    $("prog-cur").textContent = st.cur || "";
    $("prog-cur").title = st.cur || "";
  }

  async function cancelTask() {
    const t = S.task;
    if (!t) return;
    t.cancelled = true;
    $("btn-cancel").disabled = true;
    $("btn-cancel").textContent = "正在取消…";
    $("prog-phase").textContent = "正在取消…";
    try { await api("/api/cancel", {}); } catch (e) { /* polling decides */ }
  }

  async function finishTask(t) {
    if (S.task !== t) return;
    clearTimeout(S.pollTimer);
    let res = null;
    try { res = await api("/api/result"); } catch (e) { res = null; }
    if (S.task !== t) return;
    S.cancelLeft = t.cancelled;
    // The page turns idle only once the results are on screen.
    if (res && res.kind === "scan") { S.skip = new Map(); await loadScan(t.cancelled); }
    if (S.task !== t) return;
    S.task = null;
    setBusy(false);
    if (res && res.kind === "scan") {
      toast(t.cancelled ? "扫描已取消。" : "扫描完成。");
    } else if (res && res.kind === "clean") {
      showCleanResult(res, t);
      if (!res.dryRun) refreshEnv();
    }
    refreshRecycle();
    beat();
  }

  // ---- clean confirmation and result --------------------------------------

  function confirmClean(sel, ids) {
    const dlg = $("dlg-confirm");
    const body = $("confirm-body");
    body.textContent = "";
    const items = ids.map((id) => S.items.get(id));
    let known = 0, sum = 0;
    for (const it of items) {
      const f = itemFigure(it);
      if (f) { known++; sum += f.bytes; }
    }
    const lead = "将清理下面 " + items.length + " 个项目" +
      (known && S.scan ? "，按上次扫描约可释放 " + fmtBytes(sum) : "（还没扫描，无法预估大小）") + "：";
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
        h("ul", null, risky.map((it) => h("li", null, h("strong", { text: it.name + "（" + RISK[it.risk] + "）：" }), it.desc)))));
    }
    const adminItems = items.filter(needsAdmin);
    if (!S.admin && adminItems.length) {
      const box = h("div", { class: "box danger", id: "confirm-admin" },
        h("strong", { text: "当前不是管理员：下面的项目需要管理员权限，很可能会被跳过" }),
        h("ul", null, adminItems.map((it) => h("li", { text: it.name }))));
      if (!$("btn-elevate").hidden) {
        box.append(h("button", { type: "button", class: "btn small", text: "先以管理员身份重启", onclick: () => { dlg.close("no"); elevate(); } }));
      }
      body.append(box);
    }
    const measured = sel.map((id) => S.items.get(id)).filter((it) => it.mode === "measure");
    if (measured.length) {
      body.append(h("div", { class: "box info", id: "confirm-measure" },
        h("strong", { text: "下面的项目只统计、不会删除：" }),
        h("ul", null, measured.map((it) => h("li", { text: it.name })))));
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
        resolve(dlg.returnValue === "yes" ? { restartExplorer } : null);
      };
      dlg.returnValue = "";
      dlg.addEventListener("close", onClose);
      dlg.showModal();
    });
  }

  function showCleanResult(res, t, reopen) {
    const dry = !!res.dryRun;
    if (!reopen) S.lastClean = { res, task: t, at: Date.now() };
    const items = (res.items || []).map((r) => ({ r, it: S.items.get(r.id) }));
    let bytes = 0, files = 0, dirs = 0, skipped = 0;
    for (const { r, it } of items) {
      if (it && it.mode === "measure") continue;  // found, never removed
      bytes += r.bytes;
      skipped += r.skipped;
      if (dry && it && it.mode === "dir") dirs += r.files; else files += r.files;
    }
    const cancelled = t && t.cancelled;
    $("result-title").textContent = dry ? "清理预览（没有删除任何文件）" : cancelled ? "清理已取消" : "清理完成";
    const body = $("result-body");
    body.textContent = "";
    body.append(
      h("p", { class: "muted", text: dry ? "预计可以释放" : "已经释放" }),
      h("div", { class: "result-big", id: "result-bytes", text: fmtBytes(bytes) }));
    const grid = h("dl", { class: "result-grid" });
    const row = (k, v, id) => grid.append(h("dt", { text: k }), h("dd", { text: v, id }));
    row(dry ? "涉及文件" : "删除的文件", fmtCount(files) + " 个" + (dirs ? "，另有 " + dirs + " 个整个文件夹" : ""), "result-files");
    if (!dry) {
      const gain = res.freeAfter - res.freeBefore;
      row("C 盘可用空间", fmtBytes(res.freeBefore) + " → " + fmtBytes(res.freeAfter) +
        (gain > 0 ? "（多出 " + fmtBytes(gain) + "）" : ""), "result-free");
    } else {
      row("C 盘当前可用", fmtBytes(res.freeBefore), "result-free");
    }
    row(dry ? "会被跳过" : "跳过", fmtCount(skipped) + " 个" + (skipped ? "（文件正被占用、权限不足，或出于安全考虑不删）" : ""), "result-skipped");
    body.append(grid);
    if (res.recordError) body.append(h("p", { class: "note", id: "result-record", text: res.recordError + "：清理照常进行了，但这次没有留下清理记录。" }));

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
        const filesText = dry && it && it.mode === "dir" ? "整个文件夹" : fmtCount(r.files);
        return h("tr", { "data-id": r.id }, cell,
          h("td", { class: "num", text: fmtBytes(r.bytes) }),
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
    if (!dry && !reopen) {
      for (const { r, it } of items) {
        if (it && it.mode !== "measure") S.cleaned.set(r.id, (S.cleaned.get(r.id) || 0) + r.bytes);
      }
      if (S.scan) S.scanStale = true;
      renderSizes();
      renderSummary();
    }
    const last = $("last-clean");
    last.hidden = false;
    last.textContent = "";
    last.append((dry ? "上次预览：可释放 " : "上次清理：释放了 ") + fmtBytes(bytes) + "（" +
      clockText(S.lastClean ? S.lastClean.at : Date.now()) + "） ",
      h("button", { type: "button", class: "btn link small", text: "查看详情", onclick: () => showCleanResult(S.lastClean.res, S.lastClean.task, true) }));
    const dlg = $("dlg-result");
    if (!dlg.open) dlg.showModal();
  }

  // ---- file details --------------------------------------------------------

  function detailReason(it) {
    if (it.mode === "measure") return "这个项目只统计占用空间，不列出具体文件：里面是聊天记录或系统文件，本工具不会删除它们。";
    if (it.mode === "hibernate") return HIBERNATE_NOTE;
    if (it.mode === "recyclebin") return "回收站里的文件请在桌面的「回收站」里查看；这里显示的是所有盘回收站的总大小。";
    return "这个项目的文件由系统管理、数量很多，不逐个列出；清理时会整体处理。";
  }

  function openDetail(id) {
    const it = S.items.get(id);
    if (!it || S.gone || S.ended) return;
    const limit = Number($("detail-limit").value) || META.detailDefault;
    S.detail = { id, it, files: [], sort: "s", dir: -1, limit, token: 0 };
    $("detail-title").textContent = "文件明细：" + it.name;
    $("detail-caption").textContent = "「" + it.name + "」的文件";
    $("detail-rows").textContent = "";
    $("detail-note").textContent = "";
    $("detail-info").textContent = "";
    const noList = !it.allowDetails || it.mode === "recyclebin";
    $("detail-wrap").hidden = noList;
    $("detail-limit").disabled = noList;
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

  function renderDetailRows() {
    const d = S.detail;
    const tbody = $("detail-rows");
    tbody.textContent = "";
    syncSortHeaders();
    const files = d.files.slice();
    const key = d.sort;
    files.sort((a, b) => ((Number(a[key]) || 0) - (Number(b[key]) || 0)) * d.dir || (a.p < b.p ? -1 : a.p > b.p ? 1 : 0));
    let sum = 0;
    const frag = document.createDocumentFragment();
    for (const f of files) {
      sum += Number(f.s) || 0;
      const cut = f.p.lastIndexOf("\\");
      const left = S.skip.get(d.id);
      const pick = h("input", { type: "checkbox", class: "pick", "aria-label": "清理 " + f.p });
      pick.checked = !(left && left.has(f.p));
      pick.addEventListener("change", () => pickFile(d.id, f, pick.checked));
      const guard = (path, label) => h("button", { type: "button", class: "btn link small protect", "data-path": path, text: label,
        onclick: () => addProtected(path) });
      frag.append(h("tr", { class: pick.checked ? null : "left-out" },
        h("td", { class: "c-path", title: f.p },
          h("label", { class: "pick-line" }, pick, h("span", { class: "fn", text: cut >= 0 ? f.p.slice(cut + 1) : f.p })),
          cut >= 0 ? h("div", { class: "dir", text: f.p.slice(0, cut) }) : null,
          h("div", { class: "guard" }, guard(f.p, "以后不再清理此文件"), cut > 2 ? guard(f.p.slice(0, cut), "以后不再清理此文件夹") : null)),
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
    const out = S.skip.get(d.id);
    $("detail-info").textContent = "列出 " + fmtCount(files.length) + " 个文件，合计 " + fmtBytes(sum) +
      (full ? "（已到上限，可能还有更多）" : "") + (out && out.size ? "；已排除 " + fmtCount(out.size) + " 个" : "");
    $("detail-note").textContent = full
      ? "列表按扫描到的先后截取前 " + fmtCount(d.limit) + " 个文件，排序只在这些文件之间进行；可以调大「最多列出」（最多 " + META.detailMax + " 个）。"
      : "";
  }

  // ---- desktop actions -------------------------------------------------------

  function missing(btn, msg) {
    btn.hidden = true;
    btn.dataset.missing = "1";
    toast(msg);
  }

  async function elevate() {
    const b = $("btn-elevate");
    if (S.task) { toast("请等当前任务结束后再重启。"); return; }
    b.disabled = true;
    b.textContent = "请在弹出的窗口中确认…";
    let r = null;
    try {
      r = await api("/api/shell/elevate", {}, 300000);
    } catch (e) {
      if (e.kind === "missing") missing(b, "这个版本不能自动提权：请关闭 Tamsel，右键点它选择「以管理员身份运行」。");
      else if (e.kind !== "gone") toast("提权请求没有回应，请再试一次。");
    }
    b.disabled = false;
    b.textContent = "以管理员身份重启";
    if (!r) return;
    if (r.ok && r.elevated) {
      showEnded("正在以管理员身份重新启动", "新的 Tamsel 会自动在浏览器里打开新的页面，这个页面可以关闭了。");
    } else if (r.ok && r.already) {
      toast("已经是管理员权限了。");
      refreshEnv();
    } else {
      toast(r.message || "提权失败。");
    }
  }

  async function makeShortcut() {
    const b = $("btn-shortcut");
    b.disabled = true;
    let r = null;
    try {
      r = await api("/api/shell/shortcut", {});
    } catch (e) {
      if (e.kind === "missing") missing(b, "这个版本不能创建快捷方式。");
    }
    b.disabled = false;
    if (!r) return;
    if (r.ok) {
      const where = (r.created || []).map((p) => /\\Start Menu\\|\\Programs\\/i.test(p) ? "开始菜单" : "桌面");
      toast("已在" + (where.length ? where.join("和") : "桌面") + "创建快捷方式，以后双击它就能打开 Tamsel。");
      if (r.hasShortcut !== false) b.hidden = true;
    } else {
      toast(r.message || "创建快捷方式失败。");
    }
  }

  async function checkUpdate() {
    const b = $("btn-update");
    b.disabled = true;
    b.textContent = "正在检查…";
    let r = null;
    try {
      r = await api("/api/shell/update", undefined, 60000);
    } catch (e) {
      if (e.kind === "missing") missing(b, "这个版本不能检查更新。");
      else if (e.kind !== "gone") toast("检查更新没有回应，请稍后再试。");
    }
    b.disabled = false;
    b.textContent = "检查更新";
    if (!r) return;
    if (!r.ok) { toast(r.message || "检查更新失败。"); return; }
    if (!r.hasUpdate) { toast("已经是最新版本（" + r.current + "）。"); return; }
    $("upd-title").textContent = "发现新版本 " + r.latest;
    const body = $("upd-body");
    body.textContent = "";
    body.append(h("p", { text: "你现在用的是 " + r.current + "，最新版本是 " + r.latest + "。" }));
    if (r.notes) body.append(h("div", { class: "notes", id: "upd-notes", text: r.notes }));
    if (/^https?:\/\//i.test(r.page || "")) {
      body.append(h("p", { class: "sum-line" }, h("a", { href: r.page, target: "_blank", rel: "noopener noreferrer", id: "upd-link", text: "打开下载页面" })));
    } else if (r.page) {
      body.append(h("p", { class: "small muted sum-line", text: "下载页面：" + r.page }));
    }
    $("dlg-update").showModal();
  }

  async function exitProgram() {
    $("dlg-exit").close();
    let r = null;
    try {
      r = await api("/api/shell/exit", {});
    } catch (e) {
      if (e.kind === "missing") missing($("btn-exit"), "这个版本不能从页面退出：请在任务管理器里结束 Tamsel。");
      return;
    }
    if (r && r.ok) showEnded("Tamsel 已退出", "程序已经结束运行，可以关闭这个浏览器标签页了。需要时再双击 Tamsel 打开即可。");
    else toast((r && r.message) || "退出失败。");
  }

  // ---- feedback ---------------------------------------------------------------

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

  // ---- start ------------------------------------------------------------------

  function wire() {
    $("btn-scan").addEventListener("click", () => startTask("scan"));
    $("btn-dry").addEventListener("click", () => startTask("dry"));
    $("btn-clean").addEventListener("click", () => startTask("clean"));
    $("btn-cancel").addEventListener("click", cancelTask);
    $("btn-defaults").addEventListener("click", () => { setDefaults(); selectionChanged(); });
    wireChoices();
    $("btn-none").addEventListener("click", () => { S.selected = new Set(); selectionChanged(); });
    $("btn-confirm-yes").addEventListener("click", () => $("dlg-confirm").close("yes"));
    $("btn-confirm-no").addEventListener("click", () => $("dlg-confirm").close("no"));
    $("btn-reconnect").addEventListener("click", reconnect);
    $("btn-elevate").addEventListener("click", elevate);
    $("btn-shortcut").addEventListener("click", makeShortcut);
    $("btn-update").addEventListener("click", checkUpdate);
    $("btn-feedback").addEventListener("click", () => {
      feedbackMsg("");
      feedbackCount();
      $("dlg-feedback").showModal();
      $("fb-text").focus();
    });
    $("btn-exit").addEventListener("click", () => {
      $("exit-busy").hidden = !S.task;
      $("dlg-exit").showModal();
    });
    $("btn-exit-yes").addEventListener("click", exitProgram);
    $("fb-text").addEventListener("input", () => { feedbackCount(); feedbackMsg(""); });
    $("fb-form").addEventListener("submit", sendFeedback);
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
    document.addEventListener("click", (e) => {
      const c = e.target.closest("[data-close]");
      if (c) c.closest("dialog").close();
    });
    document.addEventListener("visibilitychange", () => {
      if (!document.hidden && !S.task && !S.gone && !S.ended) {
        api("/api/status").then((st) => { if (st.busy) follow(st.phase); }, () => {});
      }
    });
  }

  async function start() {
    S.token = takeToken();
    if (!S.token) {
      showLocked();
      return;
    }
    wire();
    startSpace();
    // Everything is asked for at once; each part renders as soon as its
    // answer arrives, so the page is usable after the slowest of the three
    // the catalogue needs.
    const get = (p) => api(p).catch((e) => e);
    // A browser opens six connections to a host at once: the six answers
    // the page needs before it is ready go first.
    const pRules = get("/api/rules"), pSettings = get("/api/settings");
    const pEnv = get("/api/env"), pRecycle = get("/api/recycle");
    const pScan = get("/api/scanresult"), pResult = get("/api/result");
    const pStatus = get("/api/status"), pShell = get("/api/shell/info");
    const pMeta = get("/api/meta");

    const rules = await pRules;
    loadMeta(await pMeta);
    if (!rules || !rules.ok || !Array.isArray(rules.categories)) {
      $("cats").textContent = "";
      $("cats").append(h("p", { class: "note", text: "读不到清理项目的列表，请刷新页面再试。" }));
    } else {
      S.cats = rules.categories;
      for (const c of S.cats) for (const it of c.items) { S.items.set(it.id, it); S.catOf.set(it.id, c); }
      const st = await pSettings;
      S.settings = st && st.ok && st.settings ? st.settings : null;
      if (S.settings) $("opt-age").value = String(S.settings.olderThanDays);
      loadSelection();
      renderCatalog();
    }
    const env = await pEnv;
    if (env && env.ok) renderEnv(env);
    const rb = await pRecycle;
    S.recycle = rb && rb.ok && rb.recycle && rb.recycle.ok ? rb.recycle : null;
    applyScan(await pScan, false);
    const last = await pResult;
    if (S.scan && last && last.ok && last.kind === "clean" && !last.dryRun) {
      // The last task was a real clean, so it ran after the last scan.
      for (const r of last.items || []) {
        const it = S.items.get(r.id);
        if (it && it.mode !== "measure") S.cleaned.set(r.id, r.bytes);
      }
      S.scanStale = true;
      renderSizes();
      renderSummary();
    }
    document.body.dataset.ready = "1";
    performance.mark("tamsel-ready");

    const st = await pStatus;
    if (st && st.ok && st.busy) follow(st.phase);
    const shell = await pShell;
    if (shell && shell.ok) {
      S.shell = shell;
      $("btn-shortcut").hidden = !shell.needShortcut;
    }
    if (!S.task) beat();
  }

  // ---- the space view (webui/space_view.js) ------------------------------------

  let space = null;
  function startSpace() {
    space = SpaceView({ api, h, fmtBytes, fmtCount, fileTime: fileTimeText, toast, items: S.items, pick: pickItem,
      changed: () => { refreshEnv(); refreshRecycle(); } });
  }
  // Checks one catalogue item and brings its row into view.
  function pickItem(id) {
    const li = document.querySelector('.item[data-id="' + id + '"]');
    if (!li) return;
    S.selected.add(id);
    selectionChanged();
    const cat = li.closest(".cat");
    if (cat.classList.contains("collapsed")) cat.querySelector(".toggle").click();
    for (const el of document.querySelectorAll(".item.picked")) el.classList.remove("picked");
    li.classList.add("picked");
    li.scrollIntoView({ block: "center" });
    $("it-" + id).focus({ preventScroll: true });
  }

  // ---- the user's choices: age, files left out, protected paths, settings, records ----

  // The settings are saved whole at once, one request at a time so that an
  // older document never lands after a newer one; a request outlives a
  // reload or a closed tab (keepalive), and what changed while one was on
  // its way follows it, or goes when the page is left.
  let saving = false, unsaved = false;
  function postSettings() {
    return fetch("/api/settings", {
      method: "POST", keepalive: true, cache: "no-store",
      headers: { "Content-Type": "application/json", "X-Tamsel-Token": S.token },
      body: JSON.stringify(S.settings),
    });
  }
  function saveSettings() {
    if (!S.settings || S.gone || S.ended) return;
    if (saving) { unsaved = true; return; }
    saving = true;
    postSettings()
      .then((r) => r.json())
      .then((r) => { if (!r.ok) toast(r.message || "设置没能保存。"); }, () => { /* the connection check reports it */ })
      .finally(() => {
        saving = false;
        if (unsaved) { unsaved = false; saveSettings(); }
      });
  }
  window.addEventListener("pagehide", () => { if (unsaved) { unsaved = false; postSettings().catch(() => {}); } });
  const ageDays = () => (S.settings ? Number(S.settings.olderThanDays) || 0 : Number($("opt-age").value) || 0);

  // The files of these items left out of a clean.
  function skipFor(ids) {
    const out = [];
    for (const id of ids) for (const p of (S.skip.get(id) || new Map()).keys()) out.push(p);
    return out;
  }

  function pickFile(id, f, on) {
    let left = S.skip.get(id);
    if (!left) { left = new Map(); S.skip.set(id, left); }
    if (on) left.delete(f.p); else left.set(f.p, Number(f.s) || 0);
    renderSizes();
    renderSummary();
    if (S.detail && S.detail.id === id) renderDetailRows();
  }

  // After what counts changed, the figures on screen come from a new scan.
  function rescan() {
    if (S.scan && !S.task) startTask("scan");
  }

  function addProtected(path) {
    if (!S.settings) return;
    const low = path.toLowerCase();
    if (!S.settings.protect.some((p) => p.toLowerCase() === low)) S.settings.protect.push(path);
    saveSettings();
    renderProtected();
    toast("以后不再清理：" + path);
    if ($("dlg-detail").open) $("dlg-detail").close();
    setTimeout(rescan, 300);
  }

  // ---- automatic cleaning (the scheduled task) -------------------------------

  const EVERY = { off: "关闭", daily: "每天", weekly: "每周" };

  // Shows what the task store holds: the interval, and a program path that
  // no longer exists (the program was moved) or is another copy, with the
  // offer to point the task at this program.
  function renderSchedule(r) {
    const state = $("schedule-state");
    const fix = $("btn-schedule-fix");
    fix.hidden = true;
    if (!r || !r.ok) {
      state.textContent = (r && r.message) || "读不到自动清理的状态。";
      return;
    }
    S.schedule = r;
    for (const el of document.querySelectorAll('input[name="schedule-every"]')) el.checked = el.value === r.every;
    if (r.every === "off") {
      state.textContent = "自动清理已关闭。";
      return;
    }
    let text = "自动清理：" + EVERY[r.every] + "，在电脑空闲且接通电源时运行。";
    if (!r.programExists) {
      text += "但计划任务要运行的程序已经不在了（可能被移动或删除）：" + r.program;
      fix.hidden = false;
    } else if (!r.isThisProgram) {
      text += "计划任务运行的是另一处的程序：" + r.program;
      fix.hidden = false;
    }
    state.textContent = text;
  }

  async function loadSchedule() {
    let r;
    try { r = await api("/api/schedule"); } catch (e) { r = null; }
    renderSchedule(r);
  }

  async function setSchedule(every) {
    $("schedule-state").textContent = "正在设置…";
    let r;
    try { r = await api("/api/schedule", { every }); } catch (e) { r = null; }
    if (r && r.ok) {
      toast(every === "off" ? "已关闭自动清理" : "已设置自动清理：" + EVERY[every]);
      renderSchedule(r);
    } else {
      toast((r && r.message) || "设置自动清理失败");
      await loadSchedule();
    }
  }

  function renderProtected() {
    const ul = $("protect-list");
    ul.textContent = "";
    const list = S.settings ? S.settings.protect : [];
    if (!list.length) ul.append(h("li", { class: "muted small", text: "还没有设为不清理的文件夹或文件。" }));
    list.forEach((p, i) => ul.append(h("li", { "data-path": p },
      h("span", { class: "path", text: p }),
      h("button", { type: "button", class: "btn small", text: "移除", "aria-label": "移除 " + p, onclick: () => {
        S.settings.protect.splice(i, 1);
        saveSettings();
        renderProtected();
        setTimeout(rescan, 300);
      } }))));
  }

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
          (rec.skipped ? "，跳过 " + fmtCount(rec.skipped) + " 个" : "") })));
    }
  }

  async function showRecord(rec, more) {
    if (!more) S.hist = { rec, lines: [], total: 0 };
    const hs = S.hist;
    $("hist-list-box").hidden = true;
    $("hist-view").hidden = false;
    $("hist-title").textContent = fmtDate(new Date(rec.time)) + "：释放 " + fmtBytes(rec.bytes) + "，删除 " + fmtCount(rec.files) + " 个，跳过 " + fmtCount(rec.skipped) + " 个";
    const q = $("hist-q").value.trim();
    let r;
    try {
      r = await api("/api/history/record?id=" + encodeURIComponent(rec.id) + "&offset=" + hs.lines.length + "&limit=500&q=" + encodeURIComponent(q));
    } catch (e) { r = null; }
    if (S.hist !== hs) return;
    if (!r || !r.ok) { $("hist-info").textContent = (r && r.message) || "读不到这条记录。"; return; }
    hs.lines = hs.lines.concat(r.lines);
    hs.total = r.total;
    const tbody = $("hist-lines");
    tbody.textContent = "";
    for (const l of hs.lines) {
      tbody.append(h("tr", { class: l.kind },
        h("td", { text: l.kind === "deleted" ? "已删除" : "跳过" }),
        h("td", { class: "c-path", text: l.path, title: l.reason || l.path }),
        h("td", { class: "c-size", text: fmtBytes(l.bytes) }),
        h("td", { class: "small", text: l.reason })));
    }
    $("hist-info").textContent = "显示 " + fmtCount(hs.lines.length) + " / " + fmtCount(hs.total) + " 行" + (r.complete ? "" : "（这次清理没有正常结束，记录到中断为止）");
    $("hist-more").hidden = hs.lines.length >= hs.total;
  }

  function wireChoices() {
    $("opt-age").addEventListener("change", () => {
      if (S.settings) { S.settings.olderThanDays = Number($("opt-age").value) || 0; saveSettings(); }
      setTimeout(rescan, 300);
    });
    $("detail-reset").addEventListener("click", () => {
      if (!S.detail) return;
      S.skip.delete(S.detail.id);
      renderSizes();
      renderSummary();
      renderDetailRows();
    });
    $("btn-settings").addEventListener("click", () => { renderProtected(); loadSchedule(); $("dlg-settings").showModal(); });
    for (const el of document.querySelectorAll('input[name="schedule-every"]')) {
      el.addEventListener("change", () => { if (el.checked) setSchedule(el.value); });
    }
    $("btn-schedule-fix").addEventListener("click", () => setSchedule(S.schedule ? S.schedule.every : "daily"));
    $("protect-form").addEventListener("submit", (ev) => {
      ev.preventDefault();
      const v = $("protect-input").value.trim().replace(/\\+$/, "");
      if (!/^[cC]:\\./.test(v)) { toast("请填写 C:\\ 开头的完整路径。"); return; }
      $("protect-input").value = "";
      addProtected(v);
    });
    $("btn-history").addEventListener("click", openHistory);
    $("hist-back").addEventListener("click", () => { $("hist-view").hidden = true; $("hist-list-box").hidden = false; S.hist = null; });
    $("hist-more").addEventListener("click", () => { if (S.hist) showRecord(S.hist.rec, true); });
    $("hist-q").addEventListener("input", () => { if (S.hist) showRecord(S.hist.rec); });
    $("hist-show").addEventListener("click", async () => {
      if (!S.hist) return;
      let r;
      try { r = await api("/api/history/show", { id: S.hist.rec.id }); } catch (e) { r = null; }
      if (!r || !r.ok) toast((r && r.message) || "无法打开资源管理器。");
    });
  }

  start();
})();
