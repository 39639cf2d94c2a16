// Following the program's one background task to its end, for every view
// that starts one: the cleaning view's scan, preview and clean (tasks.js)
// and the space view's map (space_view.js). The view draws; this module
// polls, decides when the task has ended, asks the program to cancel it,
// gives up when the progress can no longer be read, and stops at any end of
// the connection (connection.js shows those screens; api.js judges a failed
// request).

import { api } from "./api.js";
import { onEnd } from "./connection.js";
import { $, toast } from "./dom.js";

export const POLL_MS = 400;  // status polling while a task runs
const MAX_ERRS = 10;         // failed polls in a row that are still waited out
const MAX_IDLE = 10;         // polls in a row showing neither a task nor its end

const live = new Set();  // the followers polling now
onEnd(() => { for (const f of [...live]) f.stop(); });

// A follower of the task of the phases `mine` accepts; it polls once start()
// is called. opts:
//   mine(phase)     whether a phase of GET /api/status is this task's
//   progress(st, f) each status answer of this task, its last one included
//   ended(f)        once, when the task has ended: the program finished it,
//                   or another kind of task holds the engine now
//   lost(f)         once, when the status could not be read MAX_ERRS + 1
//                   times in a row (the page has said so)
//   cancelButton, phaseText: ids of the view's cancel button and of the
//                   text that names the phase; cancel() shows it on both
// Returns f: {start(), cancel(), stop(), cancelled}; a view may add fields
// of its own to it.
export function taskFollower(opts) {
  let timer = 0, errs = 0, idle = 0;
  const f = {
    cancelled: false,  // cancel() was called
    start() {
      if (live.has(f)) return;
      live.add(f);
      poll();
    },
    stop() {
      live.delete(f);
      clearTimeout(timer);
    },
    // Asks the program to stop the task; polling tells when it has.
    async cancel() {
      f.cancelled = true;
      const b = $(opts.cancelButton);
      b.disabled = true;
      b.textContent = "正在取消…";
      $(opts.phaseText).textContent = "正在取消…";
      try { await api("/api/cancel", {}); } catch (e) { /* polling decides */ }
    },
  };

  function end(then) {
    f.stop();
    then(f);
  }

  async function poll() {
    if (!live.has(f)) return;
    let st = null;
    try {
      st = await api("/api/status");
    } catch (e) {
      // Gone or locked out: the connection's end has stopped every follower.
    }
    if (!live.has(f)) return;
    if (st && st.ok) {
      errs = 0;
      // A task just claimed may show "idle" for a moment; any other phase
      // that is not this task's means it ended and another one began.
      if (st.busy && st.phase !== "idle" && !opts.mine(st.phase)) { end(opts.ended); return; }
      opts.progress(st, f);
      // The engine raises finished when the results are published and
      // clears busy last: only both together mean the task has ended.
      if (st.finished && !st.busy) { end(opts.ended); return; }
      idle = !st.busy && !st.finished ? idle + 1 : 0;
      if (idle > MAX_IDLE) { end(opts.ended); return; }
    } else if (++errs > MAX_ERRS) {
      toast("读取进度失败，请刷新页面。");
      end(opts.lost);
      return;
    }
    timer = setTimeout(poll, POLL_MS);
  }

  return f;
}
