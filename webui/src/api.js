// The API client: every request carries the program's per-run access token.
// A 403 locks the page, a failed request makes it check whether the program
// is still there (connection.js shows the outcome).

import { conn, showLocked, setGone } from "./connection.js";

const TOKEN_KEY = "tamsel.token";          // sessionStorage: this tab only
const TOKEN_RE = /^[0-9a-f]{32}$/;
export const TOKEN_HEADER = "X-Tamsel-Token";

let token = "";  // the program's per-run secret, sent with every API call
export const apiToken = () => token;

// The program opens the page with its per-run secret in the address
// fragment (#token=...), which no server, log or Referer ever sees. The
// page keeps it for this tab only, so that a reload still works, and takes
// it out of the address bar, so that a bookmark or a copied address does
// not carry it. Returns whether a valid token was found.
export function takeToken() {
  let t = "";
  const hash = location.hash.replace(/^#/, "");
  const params = new URLSearchParams(hash);
  if (params.has("token")) {
    t = params.get("token") || "";
    params.delete("token");
    const rest = params.toString();
    history.replaceState(history.state, "", location.pathname + location.search + (rest ? "#" + rest : ""));
    if (TOKEN_RE.test(t)) {
      try { sessionStorage.setItem(TOKEN_KEY, t); } catch (e) { /* storage off: this load only */ }
    }
  }
  if (!TOKEN_RE.test(t)) {
    try { t = sessionStorage.getItem(TOKEN_KEY) || ""; } catch (e) { t = ""; }
  }
  token = TOKEN_RE.test(t) ? t : "";
  return token !== "";
}

// kind: "gone" (the program is not there), "timeout" (it is, but this
// request failed), "missing" (a 404: this build lacks the endpoint),
// "locked" (the token was refused), "bad" (the answer was not JSON).
export class ApiError extends Error {
  constructor(kind) { super(kind); this.kind = kind; }
}

// One JSON request: a GET, or a POST of body when body is given. Resolves
// with the parsed answer, rejects with an ApiError.
export async function api(path, body, timeout = 15000) {
  if (conn.ended || conn.gone) throw new ApiError("gone");
  const init = {
    cache: "no-store",
    signal: AbortSignal.timeout(timeout),
    headers: { [TOKEN_HEADER]: token },
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

// Whether the program still answers; calls made meanwhile share one probe.
let probing = null;
function checkAlive() {
  if (conn.ended) return Promise.resolve(false);
  if (conn.gone) return Promise.resolve(false);
  if (probing) return probing;
  probing = (async () => {
    let ok = false;
    try {
      const r = await fetch("/api/status", {
        cache: "no-store",
        signal: AbortSignal.timeout(4000),
        headers: { [TOKEN_HEADER]: token },
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
