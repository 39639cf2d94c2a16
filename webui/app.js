"use strict";
// Shows the program's name and version as /api/env reports them.
(async function showEnv() {
  const version = document.getElementById("version");
  try {
    const r = await fetch("/api/env", { cache: "no-store" });
    const env = await r.json();
    if (!env.ok) throw new Error("env");
    document.getElementById("title").textContent = env.name;
    document.title = env.name + " · C 盘清理";
    version.textContent = "版本 " + env.version;
  } catch (e) {
    version.textContent = "无法连接到程序，请确认它仍在运行。";
  }
})();
