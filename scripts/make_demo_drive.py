#!/usr/bin/env python3
r"""Build a lived-in Windows system drive for the native build's demo run.

Usage: make_demo_drive.py ROOT [--user NAME]
       make_demo_drive.py --list      (the tree as JSON lines, nothing written)
Then:  TAMSEL_ROOT=ROOT build/native/tamsel

The native build emulates one Windows machine inside a folder: C:\a\b is
ROOT/c/a/b, letter case significant. This script fills ROOT/c with what a few
months of ordinary use leave behind (browser and app caches of every profile,
chat, video-editing, graphics and developer caches, temp files,
update downloads, crash dumps, an old Windows installation, chat data) next to
personal files that no cleaning may touch, so the first scan has something to
show, and what else fills a real PC (games, videos, virtual disks, disc images,
a web project's thousands of dependency folders) for the space map. Large
files are sparse: the tree reports over a hundred gigabytes and occupies a
few dozen megabytes.

The tree is the table TREE below: rows of (path, size, count[, age]) written
the Windows way with %VARIABLES%; write_tree() turns each row into files.
Everything random is seeded by the row's path, so two runs give the same
names and sizes (and, on the same day, the same times).

ROOT receives a marker file .tamsel-demo; a later run deletes ROOT/c only
when that marker is present, and refuses to touch a ROOT/c it did not make.

ROOT/c.capacity receives the drive's size in bytes (--capacity, in GB): the
native build then reports the drive's free space as that size minus the
sizes of its files, so that a clean of the demo drive shows the space it
frees (without the file it reports the host disk's free space).

ROOT/windows-version says the emulated Windows is 10.0.19045 (22H2), and
ROOT/c.reserved that it holds 7 GB of reserved storage for updates
(counted as used on C: until the demo turns it off; a later run resets
both, and Compact OS, ROOT/compact-os, to off).

ROOT/d is an empty second drive D: (ROOT/d.capacity, --second-capacity in
GB) for the folders the demo moves off C:; a later run empties it again.
"""

import argparse
import hashlib
import json
import math
import os
import pwd
import random
import re
import shutil
import sys
import time

KB = 1024
MB = 1024 * KB
GB = 1024 * MB

MARKER = ".tamsel-demo"

# Files up to this size get real text; larger ones are sparse (truncate only),
# so gigabytes cost no disk blocks.
SMALL = 4 * KB

# Default age range in days for rows that do not give one.
DEFAULT_AGE = (1, 150)


def hexname(seed, length, upper=False):
    """A stable hex string for names that must repeat across rows (a folder
    that several rows fill, the $I/$R pair of one recycled file)."""
    h = hashlib.sha256(seed.encode("utf-8")).hexdigest()[:length]
    return h.upper() if upper else h


def fixed_guid(seed):
    """A stable {GUID} name for a folder several rows share; the braces are
    doubled because rows are format templates."""
    g = hexname(seed, 32, upper=True)
    return "{{%s-%s-%s-%s-%s}}" % (g[:8], g[8:12], g[12:16], g[16:20], g[20:])


# ---------------------------------------------------------------------------
# The tree. Path fields, filled per file: {i} index from 0, {n} from 1,
# {x8} {x16} {x32} {x40} lower-case hex, {X8} {X32} upper-case hex,
# {guid} "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}", and from the file's own
# time {date} 20240312, {day} 2024-03-12, {month} 2024-03, {time} 101530.
# size: bytes, or (low, high) drawn log-uniformly (many small, few large).
# age: optional, days before today, a number (maximum) or (low, high).
# ---------------------------------------------------------------------------

PROFILE = r"%USERPROFILE%"
LOCAL = r"%LOCALAPPDATA%"
ROAMING = r"%APPDATA%"
WIN = r"%SystemRoot%"
SYS = r"%SystemDrive%"

TREE = []

# --- User temp folder: installer remnants, Office scratch, browser downloads
# that were never moved. Mostly recent.
TREE += [
    (r"%TEMP%\~DF{X8}.tmp", (16 * KB, 4 * MB), 24, (0, 40)),
    (r"%TEMP%\7zS{X8}\setup.dll", (200 * KB, 3 * MB), 4),
    (r"%TEMP%\wct{X8}.tmp", (40 * MB, 320 * MB), 3, (0, 20)),
    (r"%TEMP%\chrome_installer.log", 38 * KB, 1),
    (r"%TEMP%\msedge_installer.log", 51 * KB, 1),
    (r"%TEMP%\dd_vcredist_amd64_{date}{time}.log", (20 * KB, 300 * KB), 6),
    (r"%TEMP%\WinSAT\winsat.etl", 6 * MB, 1),
    (r"%TEMP%\Outlook Logging\Firstrun.log", 2 * KB, 1),
    (r"%TEMP%\wechat_update\WeChatSetup_{n}.exe", (150 * MB, 210 * MB), 2),
    (r"%TEMP%\Diagnostics\{x16}.diagsession", (1 * MB, 60 * MB), 5),
    (r"%TEMP%\{x8}.png", (20 * KB, 2 * MB), 16, (0, 30)),
    (r"%TEMP%\tmp{x8}.tmp", (1 * KB, 600 * KB), 14, (0, 10)),
]

# Unpacked installers: one folder each, a setup program and its cabinets.
for k in range(3):
    d = r"%TEMP%" + "\\" + fixed_guid("setup%d" % k)
    TREE += [
        (d + r"\setup.exe", (2 * MB, 80 * MB), 1, (2, 90)),
        (d + r"\data{n}.cab", (10 * MB, 180 * MB), 3, (2, 90)),
    ]

# --- .tmp and .log files scattered through the local and roaming
# application-data folders.
TREE += [
    (LOCAL + r"\Microsoft\OneDrive\logs\Common\SyncEngine-{date}.log", (200 * KB, 8 * MB), 12),
    (LOCAL + r"\Microsoft\OneDrive\setup\logs\Install_{date}.log", (30 * KB, 400 * KB), 3),
    (LOCAL + r"\NVIDIA Corporation\NvBackend\nvbackend_{n}.log", (100 * KB, 5 * MB), 6),
    (LOCAL + r"\Packages\Microsoft.Windows.Photos_8wekyb3d8bbwe\AC\Temp\{x8}.tmp", (50 * KB, 12 * MB), 16),
    (LOCAL + r"\Packages\Microsoft.WindowsStore_8wekyb3d8bbwe\LocalState\Cache\{x8}.tmp", (10 * KB, 2 * MB), 8),
    (LOCAL + r"\SquirrelTemp\SquirrelSetup.log", 180 * KB, 1),
    (LOCAL + r"\Microsoft\Office\16.0\OfficeFileCache\{X8}.tmp", (100 * KB, 20 * MB), 6),
    (LOCAL + r"\Microsoft\Windows\WinX\WinX_{n}.log", 3 * KB, 2),
    (ROAMING + r"\Code\logs\{date}T{time}\main.log", (10 * KB, 2 * MB), 10),
    (ROAMING + r"\Code\logs\{date}T{time}\window1\renderer.log", (10 * KB, 4 * MB), 10),
    (ROAMING + r"\Zoom\logs\zoom_{date}.log", (50 * KB, 3 * MB), 6),
    (ROAMING + r"\Microsoft\Word\~WRL{i:04d}.tmp", (20 * KB, 2 * MB), 5),
    (ROAMING + r"\Microsoft\Excel\~ar{X8}.tmp", (10 * KB, 900 * KB), 3),
    (ROAMING + r"\Adobe\Acrobat\DC\AdobeCMapFnt{n}.tmp", (500 * KB, 3 * MB), 2),
    (ROAMING + r"\npm-cache\_logs\{day}T{time}-debug-0.log", (2 * KB, 60 * KB), 8),
]

# --- Recent items: shortcuts to the user's documents and jump lists.
RECENT = ROAMING + r"\Microsoft\Windows\Recent"
RECENT_NAMES = [
    "工作报告", "2024年度预算", "项目计划", "会议纪要", "合同扫描件", "简历",
    "照片", "Downloads", "Documents", "论文终稿", "报价单", "发票", "季度总结",
    "培训资料", "产品说明书", "旅行", "Screenshots", "readme", "新建文本文档",
    "客户名单", "周报_第12周", "周报_第13周", "出差报销单", "年会节目单",
]
TREE += [(RECENT + "\\" + name + ".lnk", (600, 2 * KB), 1, 90) for name in RECENT_NAMES]
TREE += [
    (RECENT + r"\AutomaticDestinations\{x16}.automaticDestinations-ms", (4 * KB, 900 * KB), 10),
    (RECENT + r"\CustomDestinations\{X32}.customDestinations-ms", (2 * KB, 40 * KB), 6),
]

# --- Logs of system services under the Windows directory.
SVC = WIN + r"\ServiceProfiles"
TREE += [
    (SVC + r"\NetworkService\AppData\Local\Temp\MpCmdRun.log", 2 * MB, 1),
    (SVC + r"\NetworkService\AppData\Local\Temp\{x8}.tmp", (10 * KB, 4 * MB), 6),
    (SVC + r"\LocalService\AppData\Local\Temp\{x8}.tmp", (10 * KB, 2 * MB), 4),
    (SVC + r"\LocalService\AppData\Local\Microsoft\Windows\DeliveryOptimization\Logs\dosvc.{date}.log", (100 * KB, 2 * MB), 3),
]

# --- Chrome and Edge: the disk cache, compiled-script cache, GPU and shader
# caches, service-worker storage. Profile files (history, bookmarks,
# passwords) sit next to them and are not caches.
def browser(user_data, scale, profiles=("Default",), shader_cache=False):
    """A Chromium-based browser's user data folder: each profile's caches
    beside its own data (the first profile at full scale, the others at
    less), the shader caches of the whole folder and its Local State."""
    rows = []
    for k, profile in enumerate(profiles):
        d = user_data + "\\" + profile
        s = scale if k == 0 else scale * 0.4
        rows += [
            (d + r"\Cache\Cache_Data\f_{i:06x}", (8 * KB, 40 * MB), int(100 * s), 45),
            (d + r"\Cache\Cache_Data\data_{i}", (40 * KB, 4 * MB), 4, 3),
            (d + r"\Cache\Cache_Data\index", 256 * KB + 8 * KB, 1, 1),
            (d + r"\Code Cache\js\{x16}_0", (2 * KB, 700 * KB), int(30 * s), 60),
            (d + r"\Code Cache\js\index-dir\the-real-index", 24 * KB, 1, 1),
            (d + r"\Code Cache\wasm\{x16}_0", (100 * KB, 12 * MB), 6, 60),
            (d + r"\GPUCache\data_{i}", (8 * KB, 4 * MB), 4, 10),
            (d + r"\GPUCache\index", 262 * KB, 1, 10),
            (d + r"\Service Worker\CacheStorage\{x40}\{guid}\{x16}_0", (10 * KB, 5 * MB), int(20 * s), 90),
            (d + r"\Service Worker\ScriptCache\{x16}_0", (5 * KB, 900 * KB), int(12 * s), 90),
            # Profile data: nothing here is a cache.
            (d + r"\History", 38 * MB, 1, 1),
            (d + r"\Bookmarks", 180 * KB, 1, 20),
            (d + r"\Login Data", 96 * KB, 1, 5),
            (d + r"\Preferences", 110 * KB, 1, 1),
            (d + r"\Network\Cookies", 1 * MB, 1, 1),
            (d + r"\Local Storage\leveldb\{i:06d}.log", (100 * KB, 3 * MB), 2, 2),
        ]
        if k > 0:
            rows += [
                (d + r"\IndexedDB\https_docs.qq.com_0.indexeddb.leveldb\{i:06d}.ldb", (100 * KB, 8 * MB), 3, 10),
                (d + r"\Session Storage\{i:06d}.ldb", (4 * KB, 200 * KB), 2, 1),
                (d + r"\Extensions\{x32}\1.2.0_0\manifest.json", 2 * KB, 2, 60),
                (d + r"\Service Worker\Database\{i:06d}.ldb", (4 * KB, 300 * KB), 2, 5),
            ]
    rows += [
        (user_data + r"\GrShaderCache\data_{i}", (8 * KB, 6 * MB), 4, 10),
        (user_data + r"\GrShaderCache\index", 262 * KB, 1, 10),
        (user_data + r"\Local State", 60 * KB, 1, 1),
    ]
    if shader_cache:
        rows += [
            (user_data + r"\ShaderCache\data_{i}", (8 * KB, 4 * MB), 3, 10),
            (user_data + r"\ShaderCache\index", 262 * KB, 1, 10),
        ]
    return rows


TREE += browser(LOCAL + r"\Google\Chrome\User Data", 1.0, ("Default", "Profile 1", "Profile 3"))
TREE += browser(LOCAL + r"\Microsoft\Edge\User Data", 0.5, ("Default", "Guest Profile"))
# The browsers Chinese users run besides them, each with its own profiles.
TREE += browser(LOCAL + r"\360Chrome\Chrome\User Data", 0.8, ("Default", "Profile 1"), True)
TREE += browser(ROAMING + r"\360se6\User Data", 0.4, ("Default",), True)
TREE += browser(LOCAL + r"\Tencent\QQBrowser\User Data", 0.6, ("Default", "Profile 2"), True)
TREE += browser(LOCAL + r"\BraveSoftware\Brave-Browser\User Data", 0.2, ("Default",), True)

# --- Firefox: the caches in the local profile folder, the profile's data in
# the roaming one.
for name in ("k3x9q2ab.default-release", "w7m1z8cd.工作"):
    TREE += [
        (LOCAL + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\cache2\entries\{X32}{X8}", (4 * KB, 12 * MB), 120, 60),
        (LOCAL + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\cache2\index", 300 * KB, 1, 1),
        (LOCAL + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\startupCache\startupCache.8.little", 9 * MB, 1, 2),
        (LOCAL + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\safebrowsing\google4\{x8}.vlpset", (20 * KB, 2 * MB), 6, 5),
        (ROAMING + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\places.sqlite", 20 * MB, 1, 1),
        (ROAMING + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\cookies.sqlite", 1 * MB, 1, 1),
        (ROAMING + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\logins.json", 8 * KB, 1, 10),
        (ROAMING + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\key4.db", 288 * KB, 1, 10),
        (ROAMING + r"\Mozilla\Firefox\Profiles" + "\\" + name + r"\prefs.js", 14 * KB, 1, 1),
    ]

# --- Explorer thumbnail and icon databases.
EXPLORER = LOCAL + r"\Microsoft\Windows\Explorer"
for kind in ["16", "32", "48", "96", "256", "768", "1280", "1920", "2560",
             "custom_stream", "exif", "idx", "sr", "wide", "wide_alternate"]:
    big = kind in ("256", "768", "1280", "custom_stream")
    TREE += [
        (EXPLORER + r"\thumbcache_" + kind + ".db", (40 * MB, 160 * MB) if big else (1 * MB, 8 * MB), 1, 10),
        (EXPLORER + r"\iconcache_" + kind + ".db", (1 * MB, 12 * MB) if big else (24 * KB, 1 * MB), 1, 10),
    ]
TREE += [(EXPLORER + r"\ExplorerStartupLog.etl", 64 * KB, 1, 1)]

# --- Prefetch. Its item leaves *.pf and *.db alone, so only the layout file,
# the service statistics and the pre-launch files beside them are found; the
# ReadyBoot subfolder lies below the (non-recursive) target.
PREFETCH = WIN + r"\Prefetch"
for exe, count in [
        ("CHROME.EXE", 2), ("MSEDGE.EXE", 2), ("EXPLORER.EXE", 1), ("SVCHOST.EXE", 5),
        ("WECHAT.EXE", 1), ("WEIXIN.EXE", 1), ("QQ.EXE", 1), ("WPS.EXE", 1),
        ("WINWORD.EXE", 1), ("EXCEL.EXE", 1), ("POWERPNT.EXE", 1), ("STEAM.EXE", 1),
        ("CLOUDMUSIC.EXE", 1), ("SEARCHAPP.EXE", 1), ("RUNTIMEBROKER.EXE", 2),
        ("TASKMGR.EXE", 1), ("NOTEPAD.EXE", 1), ("CMD.EXE", 1), ("CONHOST.EXE", 1),
        ("DLLHOST.EXE", 4), ("BACKGROUNDTASKHOST.EXE", 3), ("ONEDRIVE.EXE", 1),
        ("SETUP.EXE", 2), ("MSIEXEC.EXE", 2), ("RUNDLL32.EXE", 4), ("CTFMON.EXE", 1),
        ("SEARCHINDEXER.EXE", 1), ("SMARTSCREEN.EXE", 1), ("WMIPRVSE.EXE", 1),
        ("TIWORKER.EXE", 1), ("MPCMDRUN.EXE", 1), ("BAIDUNETDISK.EXE", 1)]:
    TREE += [(PREFETCH + "\\" + exe + "-{X8}.pf", (4 * KB, 120 * KB), count, 60)]
TREE += [
    (PREFETCH + r"\Layout.ini", 310 * KB, 1, 3),
    (PREFETCH + r"\PfSvPerfStats.bin", 21 * KB, 1, 1),
    (PREFETCH + r"\PfPre_{X8}.mkd", (40 * KB, 400 * KB), 2, 5),
    (PREFETCH + r"\AgAppLaunch.db", 1 * MB + 300 * KB, 1, 1),
    (PREFETCH + r"\AgGlFaultHistory.db", 1 * MB, 1, 1),
    (PREFETCH + r"\AgGlGlobalHistory.db", 3 * MB, 1, 1),
    (PREFETCH + r"\AgRobust.db", 100 * KB, 1, 1),
    (PREFETCH + r"\ReadyBoot\ReadyBoot.etl", 16 * MB, 1, 1),
    (PREFETCH + r"\ReadyBoot\Trace{n}.fx", (200 * KB, 2 * MB), 5, 30),
]

# --- Font cache: the .dat databases are excluded by its item; the stale
# profile cache and the lock left by a crashed service are found.
FONTCACHE = SVC + r"\LocalService\AppData\Local\FontCache"
TREE += [
    (FONTCACHE + r"\~FontCache-FontFace.dat", 8 * MB, 1, 2),
    (FONTCACHE + r"\~FontCache-System.dat", 2 * MB, 1, 2),
    (FONTCACHE + r"\~FontCache-S-1-5-21-3623811015-3361044348-30300820-1001.dat", 4 * MB, 1, 2),
    (FONTCACHE + r"\~FontCache-S-1-5-21-3623811015-3361044348-30300820-1001.tmp", 3 * MB, 1, 40),
    (FONTCACHE + r"\~FontCache-Install.lock", 120, 1, 40),
    (FONTCACHE + r"\Fonts\GlyphCache\{x16}.uwpfontcache", (100 * KB, 2 * MB), 3, 20),
]

# --- Direct3D shader cache: one folder per program, each with an index and
# a value file.
for k in range(10):
    d = LOCAL + r"\D3DSCache" + "\\" + hexname("d3d%d" % k, 16)
    TREE += [
        (d + r"\{guid}.idx", (20 * KB, 2 * MB), 1, 60),
        (d + r"\{guid}.val", (1 * MB, 90 * MB), 1, 60),
        (d + r"\{guid}.lock", 0, 1, 60),
    ]

# --- Web caches of the system's own browser component.
WINDOWS = LOCAL + r"\Microsoft\Windows"
for k in range(4):
    d = WINDOWS + r"\INetCache\IE" + "\\" + hexname("ie%d" % k, 8, upper=True)
    TREE += [
        (d + r"\{x8}[1].jpg", (5 * KB, 800 * KB), 8, 120),
        (d + r"\{x8}[1].js", (2 * KB, 300 * KB), 4, 120),
    ]
TREE += [
    (WINDOWS + r"\INetCache\Content.MSO\{X8}.tmp", (50 * KB, 6 * MB), 6),
    (WINDOWS + r"\INetCache\Low\IE\container.dat", 0, 1),
    (WINDOWS + r"\Caches\cversions.3.db", 2 * KB, 1, 5),
    (WINDOWS + r"\Caches\{guid}.3.ver0x00000000000000{i:02x}.db", (200 * KB, 6 * MB), 5, 30),
    (WINDOWS + r"\WebCache\WebCacheV01.dat", 48 * MB, 1, 1),
    (WINDOWS + r"\WebCache\V01.log", 512 * KB, 1, 1),
    (WINDOWS + r"\WebCache\V01.chk", 8 * KB, 1, 1),
    (WINDOWS + r"\WebCache\V01{i:05X}.log", 512 * KB, 4, 10),
]

# --- Remote-desktop bitmap cache and the certificate download cache.
TREE += [
    (LOCAL + r"\Microsoft\Terminal Server Client\Cache\bcache24.bmc", 12 * MB, 1, 20),
    (LOCAL + r"\Microsoft\Terminal Server Client\Cache\Cache{i:04d}.bin", (20 * MB, 60 * MB), 4, 20),
    (PROFILE + r"\AppData\LocalLow\Microsoft\CryptnetUrlCache\Content\{X32}", (1 * KB, 300 * KB), 16),
    (PROFILE + r"\AppData\LocalLow\Microsoft\CryptnetUrlCache\MetaData\{X32}", (300, 700), 16),
]

# --- Chrome's program folder: the programs themselves stay (the item skips
# .exe there); its manifest and stale setup preferences are found. The
# updater's download folder keeps full installers.
CHROME_APP = r"%ProgramFiles%\Google\Chrome\Application"
GUPDATE = r"%ProgramFiles(x86)%\Google\Update"
TREE += [
    (CHROME_APP + r"\chrome.exe", 2 * MB + 700 * KB, 1, 20),
    (CHROME_APP + r"\chrome_proxy.exe", 1 * MB, 1, 20),
    (CHROME_APP + r"\old_chrome.exe", 2 * MB + 600 * KB, 1, 50),
    (CHROME_APP + r"\chrome.VisualElementsManifest.xml", 420, 1, 20),
    (CHROME_APP + r"\master_preferences", 1 * KB, 1, 200),
    (CHROME_APP + r"\123.0.6312.106\chrome.dll", 230 * MB, 1, 20),
    (CHROME_APP + r"\123.0.6312.106\Installer\chrome.7z", 108 * MB, 1, 20),
    (CHROME_APP + r"\SetupMetrics\{guid}.pma", 4 * MB, 2, 20),
    (GUPDATE + r"\GoogleUpdate.exe", 160 * KB, 1, 200),
    (GUPDATE + r"\Download\GoogleUpdateSetup.exe", 1 * MB + 400 * KB, 1, 50),
    (GUPDATE + r"\Download\ChromeStandaloneSetup64.exe", 112 * MB, 1, 50),
    (GUPDATE + r"\Download\{guid}\123.0.6312.106\123.0.6312.106_chrome_installer.exe", 104 * MB, 1, 20),
]

# --- Windows Update: downloaded packages, its database, delivery cache.
SD = WIN + r"\SoftwareDistribution"
DOSVC = SVC + r"\NetworkService\AppData\Local\Microsoft\Windows\DeliveryOptimization"
for k, kb in enumerate(["KB5034441", "KB5035845", "KB5036892", "KB5037768", "KB5034763"]):
    d = SD + r"\Download" + "\\" + hexname("sd%d" % k, 32)
    TREE += [
        (d + r"\Windows10.0-" + kb + "-x64.cab", (300 * MB, 900 * MB), 1, 120),
        (d + r"\Windows10.0-" + kb + "-x64.psf", (50 * MB, 300 * MB), 1, 120),
        (d + r"\metadata\{x16}.xml", (5 * KB, 200 * KB), 3, 120),
    ]
TREE += [
    (SD + r"\Download\SharedFileCache\{x40}", (1 * MB, 40 * MB), 6, 120),
    (SD + r"\DataStore\DataStore.edb", 280 * MB, 1, 2),
    (SD + r"\DataStore\Logs\edb.chk", 8 * KB, 1, 2),
    (SD + r"\DataStore\Logs\edb.log", 1 * MB, 1, 2),
    (SD + r"\DataStore\Logs\edb{i:05X}.log", 1 * MB, 3, 30),
    (SD + r"\DataStore\Logs\tmp.edb", 2 * MB, 1, 2),
    (SD + r"\ReportingEvents.log", 900 * KB, 1, 1),
    (DOSVC + r"\Cache\{x40}\{x40}.bin", (5 * MB, 160 * MB), 12, 90),
    (DOSVC + r"\Logs\dosvc.{date}_{time}.etl", (1 * MB, 8 * MB), 8, 60),
    (DOSVC + r"\State\dosvcState.dat", 64 * KB, 1, 1),
]

# --- Crash dumps: the kernel dump in the Windows folder, watchdog reports,
# programs' user-mode dumps.
TREE += [
    (WIN + r"\MEMORY.DMP", 1 * GB + 870 * MB, 1, 34),
    (WIN + r"\LiveKernelReports\WATCHDOG\WD-{date}-{time}.dmp", (200 * MB, 500 * MB), 2, 60),
    (WIN + r"\LiveKernelReports\USBXHCI\USBXHCI-{date}-{time}.dmp", (1 * MB, 4 * MB), 2, 60),
    (LOCAL + r"\CrashDumps\explorer.exe.{i}.dmp", (40 * MB, 120 * MB), 2, 90),
    (LOCAL + r"\CrashDumps\WeChatAppEx.exe.{i}.dmp", (20 * MB, 80 * MB), 2, 90),
    (LOCAL + r"\CrashDumps\msedgewebview2.exe.{i}.dmp", (10 * MB, 60 * MB), 2, 90),
]

# --- System logs, setup logs, error-report queue.
TREE += [
    (WIN + r"\Logs\CBS\CBS.log", 120 * MB, 1, 1),
    (WIN + r"\Logs\CBS\CbsPersist_{date}{time}.log", (20 * MB, 60 * MB), 4, 120),
    (WIN + r"\Logs\CBS\CbsPersist_{date}{time}.cab", (2 * MB, 8 * MB), 4, 120),
    (WIN + r"\Logs\DISM\dism.log", 14 * MB, 1, 10),
    (WIN + r"\Logs\WindowsUpdate\WindowsUpdate.{date}.{time}.{i}.etl", (200 * KB, 3 * MB), 12),
    (WIN + r"\Logs\MoSetup\BlueBox.log", 2 * MB, 1, 40),
    (WIN + r"\Logs\NetSetup\service.0.etl", 1 * MB, 1, 40),
    (WIN + r"\Logs\SIH\SIH.{date}.{time}.{i}.etl", (64 * KB, 1 * MB), 4),
    (WIN + r"\Logs\waasmedic\waasmedic.{date}_{time}_{i}.etl", (64 * KB, 512 * KB), 4),
    (WIN + r"\Logs\SystemRestore\SppSrvLog.etl", 256 * KB, 1, 10),
    (WIN + r"\Panther\setupact.log", 9 * MB, 1, 140),
    (WIN + r"\Panther\setuperr.log", 300 * KB, 1, 140),
    (WIN + r"\Panther\diagerr.xml", 220 * KB, 1, 140),
    (WIN + r"\Panther\diagwrn.xml", 1 * MB, 1, 140),
    (WIN + r"\Panther\MigLog.xml", 2 * MB, 1, 140),
    (WIN + r"\Panther\UnattendGC\setupact.log", 60 * KB, 1, 140),
    (WIN + r"\Panther\setup.etl", 3 * MB, 1, 140),
]
WER = r"%ProgramData%\Microsoft\Windows\WER"
for k, (kind, app) in enumerate([("AppCrash", "explorer.exe"), ("AppCrash", "WeChat.exe"),
                                 ("AppHang", "WINWORD.EXE"), ("AppCrash", "steamwebhelper.exe"),
                                 ("Kernel", "141"), ("AppCrash", "cloudmusic.exe")]):
    where = "ReportQueue" if k % 2 else "ReportArchive"
    d = WER + "\\" + where + "\\" + kind + "_" + app + "_" + hexname("wer%d" % k, 40) + "_" + hexname("wer-b%d" % k, 8)
    TREE += [
        (d + r"\Report.wer", (8 * KB, 40 * KB), 1, 100),
        (d + r"\WER{X8}.tmp.WERInternalMetadata.xml", (4 * KB, 12 * KB), 1, 100),
        (d + r"\memory.hdmp" if kind == "Kernel" else d + r"\triagedump.dmp", (20 * MB, 400 * MB), 1, 100),
    ]

# --- Installer patch cache and .NET precompiled images.
TREE += [
    (WIN + r"\Installer\$PatchCache$\Managed\{X32}\16.0.{i}\{x8}.msp", (10 * MB, 90 * MB), 6, 150),
    (WIN + r"\Installer\{x8}.msi", (2 * MB, 40 * MB), 6, 150),
]
for k, asm in enumerate(["System", "System.Core", "System.Xml", "mscorlib", "System.Windows.Forms",
                         "PresentationCore", "PresentationFramework", "System.Data", "WindowsBase"]):
    for v in ("v4.0.30319_64", "v4.0.30319_32") + (("v2.0.50727_64",) if k < 4 else ()):
        d = WIN + r"\assembly\NativeImages_" + v + "\\" + asm + "\\" + hexname(asm + v, 32)
        TREE += [(d + "\\" + asm + ".ni.dll", (4 * MB, 40 * MB), 1, 150)]
TREE += [(WIN + r"\assembly\temp\{X8}.tmp", (100 * KB, 2 * MB), 3, 150)]

# --- Component store: measured, never deleted.
for k, comp in enumerate(["microsoft-windows-shell32", "microsoft-windows-edgechromium",
                          "microsoft-windows-mediaplayer-core", "microsoft-windows-directx-direct3d",
                          "microsoft-windows-defender-core", "microsoft-windows-ie-htmlrendering",
                          "microsoft-windows-kernel-base", "microsoft-windows-i..national-core",
                          "microsoft-windows-speech-engine", "microsoft-windows-onedrive-setup",
                          "microsoft-windows-explorer", "microsoft-windows-font-truetype"]):
    for build in (3636, 4170):
        d = (WIN + r"\WinSxS\amd64_" + comp + "_31bf3856ad364e35_10.0.19041." + str(build) +
             "_none_" + hexname(comp + str(build), 16))
        TREE += [(d + r"\{x8}.dll", (20 * MB, 260 * MB), 2, (60, 300))]
TREE += [
    (WIN + r"\WinSxS\Manifests\amd64_{x16}_31bf3856ad364e35_10.0.19041.{i}_none_{x16}.manifest", (1 * KB, 40 * KB), 15, (60, 300)),
    (WIN + r"\WinSxS\Backup\{x16}.manifest", (1 * KB, 20 * KB), 6, (60, 300)),
    (WIN + r"\WinSxS\pending.xml", 0, 1, 1),
    # Superseded components the stand-in's DISM reports and its clean-up removes.
    (WIN + r"\WinSxS\Backup\{x16}.cab", (150 * MB, 600 * MB), 4, (60, 300)),
]

# --- The previous Windows installation and the upgrade's staging folder.
OLD = SYS + r"\Windows.old"
TREE += [
    (OLD + r"\Windows\System32\config\SOFTWARE", 118 * MB, 1, (200, 210)),
    (OLD + r"\Windows\System32\config\SYSTEM", 22 * MB, 1, (200, 210)),
    (OLD + r"\Windows\System32\ntoskrnl.exe", 10 * MB, 1, (200, 210)),
    (OLD + r"\Windows\WinSxS\amd64_{x16}_31bf3856ad364e35_10.0.19041.{i}_none_{x16}\{x8}.dll", (80 * MB, 700 * MB), 16, (200, 210)),
    (OLD + r"\Windows\System32\DriverStore\FileRepository\nv_dispi.inf_amd64_{x16}\nvlddmkm.sys", (60 * MB, 90 * MB), 3, (200, 210)),
    (OLD + r"\Windows\Installer\{x8}.msi", (20 * MB, 300 * MB), 6, (200, 210)),
    (OLD + r"\Program Files\WindowsApps\{x16}\{x8}.appx", (50 * MB, 400 * MB), 6, (200, 210)),
    (OLD + r"\Users\Default\NTUSER.DAT", 256 * KB, 1, (200, 210)),
]
BT = SYS + r"\$WINDOWS.~BT"
TREE += [
    (BT + r"\Sources\install.esd", 3 * GB + 620 * MB, 1, (30, 31)),
    (BT + r"\Sources\{x8}.dll", (100 * KB, 8 * MB), 30, (30, 31)),
    (BT + r"\Sources\Panther\setupact.log", 18 * MB, 1, (30, 31)),
    (BT + r"\Sources\Panther\setuperr.log", 40 * KB, 1, (30, 31)),
    (BT + r"\Sources\SafeOS\winre.wim", 480 * MB, 1, (30, 31)),
    (BT + r"\NewOS\Windows\System32\{x8}.dll", (1 * MB, 30 * MB), 10, (30, 31)),
    (BT + r"\DUImageSandbox\{x16}.cab", (20 * MB, 120 * MB), 3, (30, 31)),
]

# --- Recycle bin: pairs of $I (deletion record) and $R (the content), one
# deleted folder, the bin's desktop.ini.
BIN = SYS + r"\$Recycle.Bin\S-1-5-21-3623811015-3361044348-30300820-1001"
TREE += [(BIN + r"\desktop.ini", 129, 1, 200)]
for k, (ext, size) in enumerate([(".docx", 860 * KB), (".mp4", 640 * MB), (".zip", 210 * MB),
                                 (".jpg", 3 * MB), (".pptx", 24 * MB), (".exe", 95 * MB),
                                 (".xlsx", 180 * KB), (".iso", 1 * GB + 300 * MB)]):
    tag = hexname("bin%d" % k, 6, upper=True)
    TREE += [
        (BIN + r"\$I" + tag + ext, 544, 1, 40),
        (BIN + r"\$R" + tag + ext, size, 1, 40),
    ]
TREE += [
    (BIN + r"\$IK3J8Q2", 544, 1, 40),
    (BIN + r"\$RK3J8Q2\旧项目\readme.txt", 2 * KB, 1, 40),
    (BIN + r"\$RK3J8Q2\旧项目\设计稿{n}.psd", (20 * MB, 120 * MB), 3, 40),
]

# --- Hibernation file, page file, swap file: sparse, several gigabytes.
TREE += [
    (SYS + r"\hiberfil.sys", 6 * GB + 400 * MB, 1, 0),
    (SYS + r"\pagefile.sys", 8 * GB, 1, 0),
    (SYS + r"\swapfile.sys", 256 * MB, 1, 0),
    (SYS + r"\DumpStack.log.tmp", 8 * KB, 1, 0),
]

# --- Windows' own tools, as the stand-in emulates them: an empty file in the
# system folder is the tool answering as it documents (platform/posix).
TREE += [
    (WIN + r"\System32\dism.exe", 0, 1, 400),
    (WIN + r"\System32\powercfg.exe", 0, 1, 400),
    (WIN + r"\System32\compact.exe", 0, 1, 400),
    # The kernel, whose WOF backing tells whether Compact OS is on.
    (WIN + r"\System32\ntoskrnl.exe", 11 * MB, 1, 400),
    (WIN + r"\System32\wbem\wbemprox.dll", 0, 1, 400),
    (WIN + r"\System32\srclient.dll", 0, 1, 400),
]


def inf_text(provider, cls, driver_ver):
    """An INF's [Version] section as Windows' driver documentation shows it."""
    return ('[Version]\r\nSignature="$WINDOWS NT$"\r\nClass=%s\r\nProvider=%%P%%\r\n'
            'DriverVer=%s\r\nCatalogFile=x.cat\r\n\r\n[Strings]\r\nP="%s"\r\n'
            % (cls, driver_ver, provider))


# Files whose text the stand-in reads: the restore points its WMI lists
# (first line the creation time, second the description; the size is their
# shadow storage) and third-party driver packages, each an INF in
# C:\Windows\INF with its copy and payload in the driver store. Rows:
# (Windows path, text, apparent size).
STORE = WIN + r"\System32\DriverStore\FileRepository"
NVIDIA = [("oem3.inf", "nvlt.inf_amd64_3a1c", "11/01/2022,31.0.15.1694", 820 * MB),
          ("oem7.inf", "nvlt.inf_amd64_7f02", "01/10/2023,31.0.15.2849", 860 * MB),
          ("oem11.inf", "nvlt.inf_amd64_b4e9", "06/08/2023,31.0.15.3623", 910 * MB)]
CONTENT = [
    # SetupAPI refuses one package as in use by a device.
    (WIN + r"\System32\setupapi.dll", "ok\r\noem7.inf in-use\r\n", 0),
] + [
    (SYS + r"\System Volume Information\Restore\RP%d.rp" % seq,
     "%s\r\n%s\r\n" % (when, desc), size)
    for seq, when, desc, size in [
        (41, "20231102093000.000000+480", "Installed NVIDIA Graphics Driver", 3 * GB + 200 * MB),
        (42, "20231215201500.000000+480", "Windows Modules Installer", 2 * GB),
        (43, "20240108080000.000000+480", "Scheduled Checkpoint", 900 * MB)]]
for oem, folder, ver, size in NVIDIA:
    text = inf_text("NVIDIA", "Display", ver)
    CONTENT += [(WIN + "\\INF\\" + oem, text, 0), (STORE + "\\" + folder + r"\nvlt.inf", text, 0),
                (STORE + "\\" + folder + r"\nv_dispi.dat", "", size)]
for oem, folder, ver, size in [("oem5.inf", "rtkvhd64.inf_amd64_51d0", "05/01/2021,6.0.9150.1", 95 * MB),
                               ("oem9.inf", "rtkvhd64.inf_amd64_9c37", "09/14/2022,6.0.9381.1", 110 * MB)]:
    # Realtek's INF in UTF-16LE, as many vendors ship theirs.
    text = inf_text("Realtek Semiconductor Corp.", "MEDIA", ver)
    CONTENT += [(WIN + "\\INF\\" + oem, ("\ufeff" + text).encode("utf-16-le"), 0),
                (STORE + "\\" + folder + r"\rtkvhd64.inf", ("\ufeff" + text).encode("utf-16-le"), 0),
                (STORE + "\\" + folder + r"\RTKVHD64.sys", "", size)]

# --- Third-party applications' caches and logs.
TENCENT = ROAMING + r"\Tencent"
TREE += [
    # WPS Office: update packages, logs, merged caches, add-on pool.
    (ROAMING + r"\kingsoft\wps\download\{x32}\WPS_Setup_{i}.exe", (200 * MB, 260 * MB), 2, 60),
    (ROAMING + r"\kingsoft\office6\update\12.1.0.{n}\update.7z", (120 * MB, 200 * MB), 2, 60),
    (ROAMING + r"\kingsoft\office6\log\wpsupdate_{date}.log", (20 * KB, 2 * MB), 10),
    (ROAMING + r"\kingsoft\office6\cache\{x16}.merge", (1 * MB, 12 * MB), 16),
    (ROAMING + r"\kingsoft\office6\cache\fontcache.bin", 6 * MB, 1),
    (ROAMING + r"\kingsoft\wps\addons\pool\win-i386\kcef_{n}.7z", (20 * MB, 60 * MB), 4),
    (ROAMING + r"\kingsoft\office6\skins\default\skin.cfg", 3 * KB, 1, 200),
    # QQ: temporary files, emoticon scratch, guild cache.
    (TENCENT + r"\QQ\STemp\{x8}.tmp", (10 * KB, 3 * MB), 12),
    (TENCENT + r"\QQ\Temp\{guid}\{x8}.png", (20 * KB, 4 * MB), 10),
    (TENCENT + r"\QQTempSys\{X32}.png", (2 * KB, 400 * KB), 12),
    (TENCENT + r"\qq_guild\Cache\Cache_Data\f_{i:06x}", (8 * KB, 5 * MB), 20),
    (TENCENT + r"\QQ\Misc\com.tencent.qq.misc.cfg", 2 * KB, 1, 200),
    # Tencent Video, WeChat's program caches, Tencent Meeting.
    (TENCENT + r"\QQLive\Log\QQLive_{date}.log", (100 * KB, 8 * MB), 12),
    (TENCENT + r"\xwechat\log\xwechat_{date}.xlog", (1 * MB, 24 * MB), 20),
    (TENCENT + r"\xwechat\crashinfo\{guid}.dmp", (30 * MB, 90 * MB), 3),
    (TENCENT + r"\xwechat\radium\web\profiles\multitab\Cache\Cache_Data\f_{i:06x}", (8 * KB, 4 * MB), 25),
    (TENCENT + r"\xwechat\XPlugin\Plugins\RadiumWMPF\{i}\extracted\{x8}.dll", (2 * MB, 40 * MB), 8),
    (TENCENT + r"\xwechat\config\{x16}.ini", 2 * KB, 3, 30),
    (TENCENT + r"\WeMeet\Global\Logs\xlog\wemeet_{date}.xlog", (500 * KB, 12 * MB), 10),
    (LOCAL + r"\Tencent\WeMeet\Cache\{x16}", (50 * KB, 8 * MB), 20),
    # NetEase CloudMusic. The app writes under both spellings; Windows sees
    # one folder, the case-sensitive stand-in sees two, so each spelling gets
    # the folders the catalogue names with it.
    (LOCAL + r"\Netease\CloudMusic\Cache\Cache\{x32}.uc!", (2 * MB, 16 * MB), 50, 120),
    (LOCAL + r"\Netease\CloudMusic\Cache\Cache\{x32}.idx!", (200, 900), 12, 120),
    (LOCAL + r"\Netease\CloudMusic\update\cloudmusicsetup_3.0.{n}.exe", (80 * MB, 110 * MB), 1, 40),
    (LOCAL + r"\NetEase\CloudMusic\Temp\{x8}.tmp", (50 * KB, 20 * MB), 8),
    (LOCAL + r"\NetEase\CloudMusic\Log\cloudmusic_{date}.log", (100 * KB, 6 * MB), 8),
    # iQIYI: web-view cache, recommendation pictures, top-level logs.
    (ROAMING + r"\IQIYI Video\EdgeWebView\UserData\EBWebView\Default\Cache\Cache_Data\f_{i:06x}", (8 * KB, 6 * MB), 25),
    (ROAMING + r"\IQIYI Video\LStyle\cache\recomcache\pic\{x32}.jpg", (30 * KB, 600 * KB), 20),
    (ROAMING + r"\IQIYI Video\QyClient_{date}.log", (100 * KB, 4 * MB), 5),
    (ROAMING + r"\IQIYI Video\config.ini", 2 * KB, 1, 60),
    # Baidu Netdisk, 360.
    (ROAMING + r"\BaiduYunKernel\Data\kernel_{date}.log", (200 * KB, 10 * MB), 8),
    (ROAMING + r"\BaiduYunGuanjia\logs\{date}.txt", (50 * KB, 3 * MB), 6),
    (r"%ProgramData%\360sd\PopWndTrackerLog\{date}_{x8}.bmp", (1 * MB, 6 * MB), 12),
    (ROAMING + r"\360Safe\LogInfo\{date}.log", (20 * KB, 2 * MB), 8),
    # Steam's embedded browser cache.
    (LOCAL + r"\Steam\htmlcache\Cache\Cache_Data\f_{i:06x}", (8 * KB, 30 * MB), 40, 60),
    (LOCAL + r"\Steam\htmlcache\Code Cache\js\{x16}_0", (4 * KB, 500 * KB), 20, 60),
    (LOCAL + r"\Steam\htmlcache\GPUCache\data_{i}", (8 * KB, 2 * MB), 4, 10),
]

# --- Programs built on Chromium (Electron, CEF) under names no list knows:
# found by the structure of their folders. Made-up programs at several
# depths, each cache beside the program's own data; then look-alikes that
# lack the structure and must stay.
def chromium_app(user_data, scale, workers=True):
    """An Electron or CEF program's user data folder: its disk, script, GPU
    and shader caches beside the marks of a Chromium user data folder
    (Local State, Preferences, Network) and its own data (storage,
    databases, settings, logs)."""
    s = scale
    rows = [
        (user_data + r"\Cache\Cache_Data\f_{i:06x}", (8 * KB, 12 * MB), int(60 * s), 40),
        (user_data + r"\Cache\Cache_Data\data_{i}", (40 * KB, 4 * MB), 4, 3),
        (user_data + r"\Cache\Cache_Data\index", 256 * KB + 8 * KB, 1, 1),
        (user_data + r"\Code Cache\js\{x16}_0", (2 * KB, 600 * KB), int(30 * s), 50),
        (user_data + r"\Code Cache\js\index-dir\the-real-index", 24 * KB, 1, 1),
        (user_data + r"\Code Cache\wasm\{x16}_0", (100 * KB, 8 * MB), 3, 50),
        (user_data + r"\GPUCache\data_{i}", (8 * KB, 3 * MB), 4, 10),
        (user_data + r"\GPUCache\index", 262 * KB, 1, 10),
        (user_data + r"\DawnCache\data_{i}", (8 * KB, 2 * MB), 4, 10),
        (user_data + r"\DawnCache\index", 262 * KB, 1, 10),
        # The program's own data: marks of a Chromium folder, nothing a cache.
        (user_data + r"\Local State", 40 * KB, 1, 1),
        (user_data + r"\Preferences", 30 * KB, 1, 1),
        (user_data + r"\Network\Cookies", 512 * KB, 1, 1),
        (user_data + r"\Local Storage\leveldb\{i:06d}.log", (100 * KB, 2 * MB), 2, 2),
        (user_data + r"\Local Storage\leveldb\CURRENT", 16, 1, 2),
        (user_data + r"\IndexedDB\file__0.indexeddb.leveldb\{i:06d}.ldb", (100 * KB, 6 * MB), 3, 10),
        (user_data + r"\Session Storage\{i:06d}.log", (4 * KB, 200 * KB), 2, 1),
        (user_data + r"\blob_storage\{guid}\{i}", (10 * KB, 2 * MB), 3, 5),
        (user_data + r"\config.json", 4 * KB, 1, 5),
    ]
    if workers:
        rows += [
            (user_data + r"\Service Worker\CacheStorage\{x40}\{guid}\{x16}_0", (10 * KB, 5 * MB), int(15 * s), 60),
            (user_data + r"\Service Worker\CacheStorage\{x40}\index.txt", 2 * KB, 1, 60),
            (user_data + r"\Service Worker\ScriptCache\{x16}_0", (5 * KB, 600 * KB), 6, 60),
            (user_data + r"\Service Worker\Database\{i:06d}.log", (4 * KB, 300 * KB), 2, 5),
            (user_data + r"\Service Worker\Database\CURRENT", 16, 1, 5),
        ]
    return rows


TREE += chromium_app(ROAMING + r"\LinkMeet", 1.5)                        # a meeting app (Electron)
TREE += chromium_app(ROAMING + r"\MusicBox\Partitions\player", 0.6, False)  # a music player's partition
TREE += chromium_app(LOCAL + r"\YunPan\CloudDisk\bin\cef\UserData", 1.0)   # a cloud drive (CEF)
TREE += [
    (ROAMING + r"\LinkMeet\logs\main_{date}.log", (100 * KB, 4 * MB), 5),
    (ROAMING + r"\LinkMeet\recordings\会议录像_{date}.mp4", (80 * MB, 300 * MB), 2, 40),
    (ROAMING + r"\MusicBox\downloads\歌曲_{n}.flac", (20 * MB, 40 * MB), 6, 90),
    (ROAMING + r"\MusicBox\settings.json", 2 * KB, 1, 10),
    (LOCAL + r"\YunPan\CloudDisk\bin\cloud.exe", 28 * MB, 1, 120),
    (LOCAL + r"\YunPan\CloudDisk\sync\我的同步盘\合同_{n}.pdf", (200 * KB, 6 * MB), 4, 30),
    # Look-alikes: a "Cache" folder without a Chromium cache's structure,
    # and a "GPUCache" beside the user's documents with no Chromium mark.
    (ROAMING + r"\PhotoEditor\Cache\thumbs\{x16}.jpg", (20 * KB, 400 * KB), 30, 60),
    (ROAMING + r"\PhotoEditor\Cache\index.dat", 64 * KB, 1, 5),
    (LOCAL + r"\WorkNotes\GPUCache\草稿_{n}.docx", (30 * KB, 2 * MB), 3, 20),
    (LOCAL + r"\WorkNotes\年度计划.docx", 600 * KB, 1, 20),
]

# --- Chat data under Documents: received files, videos, message databases.
# Only measured; the user moves it with the app's own tools.
DOCS = PROFILE + r"\Documents"
FILES = ["项目方案v3.pdf", "合同扫描件.pdf", "会议纪要.docx", "报价单.xlsx", "产品说明书.pdf",
         "年终总结.pptx", "培训视频.mp4", "客户资料.zip", "设计稿终版.psd", "发票.pdf",
         "财务报表2023.xlsx", "活动照片.zip", "投标文件.rar", "课程讲义.pdf", "安装包.exe"]
WX4 = DOCS + r"\xwechat_files\wxid_" + hexname("wx4", 14) + "_a3f9"
WX3 = DOCS + r"\WeChat Files\wxid_" + hexname("wx3", 14)
QQNT = DOCS + r"\Tencent Files\2894761035"
for name in FILES:
    TREE += [
        (WX4 + r"\msg\file\{month}" + "\\" + name, (200 * KB, 300 * MB), 1, 180),
        (WX3 + r"\FileStorage\File\{month}" + "\\" + name, (200 * KB, 200 * MB), 1, (180, 400)),
        (QQNT + r"\FileRecv" + "\\" + name, (200 * KB, 150 * MB), 1, 180),
    ]
TREE += [
    (WX4 + r"\msg\video\{month}\{x32}.mp4", (5 * MB, 260 * MB), 30, 180),
    (WX4 + r"\msg\attach\{x32}\{month}\Img\{x32}.dat", (30 * KB, 3 * MB), 40, 180),
    (WX4 + r"\db_storage\message\message_{i}.db", (500 * MB, 1 * GB), 3, 1),
    (WX4 + r"\db_storage\message\media_0.db", 900 * MB, 1, 1),
    (WX4 + r"\db_storage\contact\contact.db", 40 * MB, 1, 1),
    (WX4 + r"\cache\{month}\Message\{x32}.dat", (10 * KB, 2 * MB), 20, 60),
    (WX3 + r"\FileStorage\Video\{month}\{x32}.mp4", (5 * MB, 200 * MB), 20, (180, 400)),
    (WX3 + r"\FileStorage\Image\{month}\{x32}.dat", (30 * KB, 3 * MB), 30, (180, 400)),
    (WX3 + r"\Msg\Multi\MSG{i}.db", (200 * MB, 600 * MB), 4, (180, 400)),
    (WX3 + r"\Msg\MicroMsg.db", 60 * MB, 1, (180, 400)),
    (DOCS + r"\WeChat Files\All Users\config\config.data", 2 * KB, 1, 180),
    (QQNT + r"\nt_qq\nt_db\nt_msg.db", 640 * MB, 1, 1),
    (QQNT + r"\nt_qq\nt_db\files_in_chat.db", 30 * MB, 1, 1),
    (QQNT + r"\nt_qq\nt_data\Pic\{month}\Ori\{x32}.jpg", (100 * KB, 6 * MB), 30, 150),
    (QQNT + r"\nt_qq\nt_data\Video\{month}\Ori\{x32}.mp4", (5 * MB, 200 * MB), 12, 150),
]

# --- The chat apps' caches inside the same account folders as the message
# databases and received files above, which must stay. WeChat 4.x keeps
# its cache per account; 3.x keeps it under FileStorage and logs in the
# roaming folder; WeCom keeps one account folder per company.
TREE += [
    (WX4 + r"\cache\{month}\Message\{x32}.jpg", (20 * KB, 3 * MB), 400, 120),
    (WX4 + r"\cache\{month}\Message\{x32}_t.jpg", (4 * KB, 200 * KB), 200, 120),
    (WX4 + r"\cache\head\{x32}", (2 * KB, 60 * KB), 80, 60),
    (WX4 + r"\cache\{month}\Video\{x32}.mp4", (2 * MB, 120 * MB), 30, 120),
    (WX4 + r"\cache\contact.db", 1 * MB, 1, 1),
    (WX4 + r"\db_storage\message\message_0.db-wal", 4 * MB, 1, 1),
    (WX4 + r"\config\{x16}.ini", 2 * KB, 2, 30),
    (WX3 + r"\FileStorage\Cache\{month}\{x32}.jpg", (20 * KB, 2 * MB), 300, 200),
    (WX3 + r"\FileStorage\MsgAttach\{x32}\Thumb\{month}\{x32}_t.dat", (4 * KB, 100 * KB), 40, (180, 400)),
    (ROAMING + r"\Tencent\WeChat\log\WeChat_{date}.xlog", (200 * KB, 8 * MB), 15, 200),
    (ROAMING + r"\Tencent\WeChat\All Users\config\config.data", 1 * KB, 1, 30),
]
WXWORK = DOCS + r"\WXWork\1688850012345678"
TREE += [
    (WXWORK + r"\Cache\Image\{month}\{x32}.jpg", (20 * KB, 4 * MB), 250, 120),
    (WXWORK + r"\Cache\Emotion\{x32}.gif", (10 * KB, 1 * MB), 40, 120),
    (WXWORK + r"\Cache\contact.db", 2 * MB, 1, 1),
    (WXWORK + r"\Data\message.db", 300 * MB, 1, 1),
    (DOCS + r"\WXWork\Global\Config\config.ini", 2 * KB, 1, 30),
]

# --- Jianying (CapCut's Chinese edition): its regenerable caches are larger
# than the drafts they serve; the drafts and the effects the user downloaded
# stay.
JY = LOCAL + r"\JianyingPro\User Data"
TREE += [
    (JY + r"\Cache\recognize\{x32}.json", (20 * KB, 2 * MB), 60, 90),
    (JY + r"\Cache\frameThumbnail\{x32}\{i:05d}.jpg", (20 * KB, 200 * KB), 300, 90),
    (JY + r"\Cache\audioWave\{x32}.wave", (200 * KB, 20 * MB), 40, 90),
    (JY + r"\Cache\AlgorithmCache\{x32}\{x16}.bin", (10 * MB, 400 * MB), 24, 90),
    (JY + r"\Cache\image\{x32}.png", (100 * KB, 8 * MB), 80, 90),
    (JY + r"\Cache\effect\{x16}\{x32}.zip", (1 * MB, 60 * MB), 20, 90),
    (JY + r"\Projects\com.lveditor.draft\{month} 旅行 vlog\draft_content.json", (100 * KB, 2 * MB), 3, 30),
    (JY + r"\Projects\com.lveditor.draft\{month} 旅行 vlog\Resources\{x16}.mp4", (50 * MB, 900 * MB), 6, 30),
    (JY + r"\Config\userconfig.json", 4 * KB, 1, 5),
    (LOCAL + r"\CapCut\User Data\Cache\frameThumbnail\{x32}\{i:05d}.jpg", (20 * KB, 200 * KB), 60, 60),
    (LOCAL + r"\CapCut\User Data\Projects\com.lveditor.draft\Draft 1\draft_content.json", 300 * KB, 1, 60),
]

# --- Graphics drivers' shader caches, Steam's per-game shader caches, Adobe's
# media cache; the games and the editor's projects beside them stay.
TREE += [
    (LOCAL + r"\NVIDIA\DXCache\{x16}-{x8}.nvph", (100 * KB, 60 * MB), 60, 90),
    (LOCAL + r"\NVIDIA\DXCache\{x16}.toc", (2 * KB, 40 * KB), 12, 90),
    (LOCAL + r"\NVIDIA\GLCache\{x32}\{x16}\{x16}.bin", (100 * KB, 20 * MB), 24, 90),
    (LOCAL + r"\AMD\DxCache\{x16}.parc", (1 * MB, 40 * MB), 8, 90),
    (LOCAL + r"\AMD\VkCache\{x16}.parc", (1 * MB, 20 * MB), 4, 90),
    (LOCAL + r"\AMD\CN\gmdb.blb", 6 * MB, 1, 10),
    (LOCAL + r"\Intel\ShaderCache\{x16}\{x16}.bin", (50 * KB, 8 * MB), 30, 90),
    (LOCAL + r"\Intel\Games\profiles.json", 12 * KB, 1, 30),
    (r"%ProgramFiles(x86)%\Steam\steamapps\shadercache\730\fozpipelinesv6\steamapprun_pipeline_cache.foz", 900 * MB, 1, 10),
    (r"%ProgramFiles(x86)%\Steam\steamapps\shadercache\730\DXCache\{x16}.bin", (1 * MB, 60 * MB), 20, 30),
    (r"%ProgramFiles(x86)%\Steam\steamapps\shadercache\570\fozpipelinesv6\steamapprun_pipeline_cache.foz", 600 * MB, 1, 30),
    (r"%ProgramFiles(x86)%\Steam\steamapps\appmanifest_730.acf", 2 * KB, 1, 10),
    (ROAMING + r"\Adobe\Common\Media Cache Files\{x16} {i}.cfa", (10 * MB, 600 * MB), 30, 120),
    (ROAMING + r"\Adobe\Common\Media Cache Files\{x16} {i}.pek", (100 * KB, 4 * MB), 30, 120),
    (ROAMING + r"\Adobe\Common\Media Cache\{x32}.mcdb", (1 * MB, 30 * MB), 4, 30),
    (ROAMING + r"\Adobe\Premiere Pro\24.0\Profile-user\Adobe Premiere Pro Prefs", 120 * KB, 1, 5),
    (PROFILE + r"\Documents\Adobe\Premiere Pro\24.0\宣传片.prproj", 18 * MB, 1, 5),
]

# --- The system's own temporary folder and what an upgrade or a reset left
# at the drive's root.
TREE += [
    (WIN + r"\Temp\{guid}\{x8}.tmp", (50 * KB, 40 * MB), 20, 60),
    (WIN + r"\Temp\MpCmdRun.log", 3 * MB, 1, 1),
    (WIN + r"\Temp\vminst.log", 200 * KB, 1, 90),
    (SYS + r"\$GetCurrent\media\sources\install.esd", 3 * GB + 900 * MB, 1, (60, 61)),
    (SYS + r"\$GetCurrent\media\sources\{x8}.dll", (100 * KB, 6 * MB), 12, (60, 61)),
    (SYS + r"\$GetCurrent\Logs\downlevel\setupact.log", 4 * MB, 1, (60, 61)),
    (SYS + r"\$SysReset\Logs\setupact.log", 6 * MB, 1, (100, 101)),
    (SYS + r"\$SysReset\Framework\Stack\{x8}.xml", (4 * KB, 200 * KB), 6, (100, 101)),
    (SYS + r"\ESD\Windows\sources\install.esd", 4 * GB + 100 * MB, 1, (120, 121)),
]

# --- Developers' tools: package and build caches their tools rebuild, and
# what the tools keep that is measured only (packages projects use,
# installers' packages, Linux disks).
TREE += [
    (LOCAL + r"\npm-cache\_cacache\content-v2\sha512\{x8}\{x32}", (1 * KB, 4 * MB), 600, 150),
    (LOCAL + r"\npm-cache\_cacache\index-v5\{x8}\{x32}", (300, 2 * KB), 300, 150),
    (LOCAL + r"\npm-cache\_npx\{x16}\package.json", 1 * KB, 2, 30),
    (LOCAL + r"\Yarn\Cache\v6\npm-{x16}-1.0.{i}-integrity\node_modules\pkg\index.js", (2 * KB, 400 * KB), 80, 150),
    (LOCAL + r"\pip\Cache\http-v2\{x8}\{x32}.body", (10 * KB, 30 * MB), 60, 150),
    (LOCAL + r"\pip\Cache\wheels\{x8}\{x16}-py3-none-any.whl", (100 * KB, 60 * MB), 12, 150),
    (LOCAL + r"\NuGet\v3-cache\{x8}$ps_api.nuget.org_v3_index.json\list_{x8}.dat", (2 * KB, 2 * MB), 40, 90),
    (LOCAL + r"\NuGet\plugins-cache\{x16}\{x8}.dat", (1 * KB, 20 * KB), 4, 90),
    (r"%TEMP%\NuGetScratch\{guid}\{x8}.tmp", (1 * KB, 2 * MB), 6, 30),
    (LOCAL + r"\go-build\{x8}\{x32}-d", (1 * KB, 6 * MB), 500, 120),
    (LOCAL + r"\go-build\README", 256, 1, 200),
    (PROFILE + r"\.cargo\registry\cache\index.crates.io-6f17d22bba15001f\crate{i}-1.0.{i}.crate", (20 * KB, 3 * MB), 120, 120),
    (PROFILE + r"\.cargo\registry\src\index.crates.io-6f17d22bba15001f\crate{i}-1.0.{i}\src\lib.rs", (2 * KB, 200 * KB), 60, 120),
    (PROFILE + r"\.cargo\bin\cargo.exe", 12 * MB, 1, 60),
    (PROFILE + r"\.gradle\caches\modules-2\files-2.1\{x8}\{x16}\{x8}.jar", (20 * KB, 8 * MB), 200, 120),
    (PROFILE + r"\.gradle\caches\8.5\fileHashes\fileHashes.bin", 30 * MB, 1, 10),
    (PROFILE + r"\.gradle\caches\build-cache-1\{x32}", (10 * KB, 5 * MB), 60, 60),
    (PROFILE + r"\.gradle\gradle.properties", 1 * KB, 1, 100),
    (PROFILE + r"\.gradle\wrapper\dists\gradle-8.5-bin\{x16}\gradle-8.5-bin.zip", 130 * MB, 1, 100),
    (LOCAL + r"\JetBrains\IntelliJIdea2024.1\caches\content.dat", 300 * MB, 1, 2),
    (LOCAL + r"\JetBrains\IntelliJIdea2024.1\caches\{x16}.dat", (1 * MB, 40 * MB), 20, 20),
    (LOCAL + r"\JetBrains\PyCharm2023.3\caches\{x16}.dat", (1 * MB, 30 * MB), 12, 120),
    (LOCAL + r"\JetBrains\IntelliJIdea2024.1\log\idea.log", 8 * MB, 1, 1),
    (ROAMING + r"\JetBrains\IntelliJIdea2024.1\options\ide.general.xml", 2 * KB, 1, 30),
    (ROAMING + r"\Code\Cache\Cache_Data\f_{i:06x}", (4 * KB, 2 * MB), 80, 60),
    (ROAMING + r"\Code\CachedData\{x40}\{x16}.code", (50 * KB, 3 * MB), 30, 60),
    (ROAMING + r"\Code\CachedExtensionVSIXs\ms-python.python-2024.{i}.0", (10 * MB, 40 * MB), 4, 90),
    (ROAMING + r"\Code\Code Cache\js\{x16}_0", (2 * KB, 500 * KB), 40, 60),
    (ROAMING + r"\Code\GPUCache\data_{i}", (8 * KB, 2 * MB), 4, 10),
    (ROAMING + r"\Code\User\settings.json", 3 * KB, 1, 5),
    (ROAMING + r"\Code\User\workspaceStorage\{x32}\state.vscdb", (20 * KB, 2 * MB), 8, 10),
    (PROFILE + r"\.vscode\extensions\ms-python.python-2024.4.0\package.json", 80 * KB, 1, 30),
    (PROFILE + r"\.nuget\packages\{x8}\1.{i}.0\{x8}.nupkg", (50 * KB, 20 * MB), 80, 120),
    (PROFILE + r"\.m2\repository\org\{x8}\{x8}\1.{i}\{x8}-1.{i}.jar", (20 * KB, 6 * MB), 120, 120),
    (PROFILE + r"\.m2\settings.xml", 2 * KB, 1, 200),
    (r"%ProgramData%\Package Cache\{guid}v14.38.33135\packages\vcRuntimeMinimum_amd64\vc_runtimeMinimum_x64.msi", 2 * MB, 1, 150),
    (r"%ProgramData%\Package Cache\{guid}\{x8}.msi", (1 * MB, 200 * MB), 12, 150),
    (LOCAL + r"\Docker\wsl\data\ext4.vhdx", 21 * GB + 300 * MB, 1, 1),
    (LOCAL + r"\Docker\settings.json", 3 * KB, 1, 5),
]

# --- Sample media and wallpapers shipped with Windows.
PUB = r"%PUBLIC%"
TREE += [
    (PUB + r"\Music\Sample Music\Kalimba.mp3", 8 * MB + 400 * KB, 1, 400),
    (PUB + r"\Music\Sample Music\Maid with the Flaxen Hair.mp3", 4 * MB + 100 * KB, 1, 400),
    (PUB + r"\Music\Sample Music\Sleep Away.mp3", 4 * MB + 700 * KB, 1, 400),
    (PUB + r"\Videos\Sample Videos\Wildlife.wmv", 25 * MB + 600 * KB, 1, 400),
    (PUB + r"\Desktop\desktop.ini", 174, 1, 400),
]
TREE += [(PUB + r"\Pictures\Sample Pictures" + "\\" + name + ".jpg", (560 * KB, 880 * KB), 1, 400)
         for name in ["Chrysanthemum", "Desert", "Hydrangeas", "Jellyfish",
                      "Koala", "Lighthouse", "Penguins", "Tulips"]]
WALL = WIN + r"\Web\Wallpaper"
TREE += [
    (WALL + r"\Windows\img0.jpg", 420 * KB, 1, 400),
    (WALL + r"\Windows\img19.jpg", 3 * MB + 200 * KB, 1, 400),
    (WALL + r"\Theme1\img{n}.jpg", (600 * KB, 1 * MB + 500 * KB), 4, 400),
    (WALL + r"\Theme2\img1{i}.jpg", (700 * KB, 2 * MB), 4, 400),
    (WIN + r"\Web\Screen\img10{i}.jpg", (300 * KB, 900 * KB), 5, 400),
    (WIN + r"\Web\4K\Wallpaper\Windows\img0_3840x2160.jpg", 6 * MB, 1, 400),
]

# --- Downloads: installers and archives at any depth, videos at the top.
DL = PROFILE + r"\Downloads"
TREE += [
    (DL + r"\ChromeSetup.exe", 1 * MB + 300 * KB, 1, 150),
    (DL + r"\WeChatSetup.exe", 190 * MB, 1, 60),
    (DL + r"\QQ_9.9.9_240412_x64_01.exe", 220 * MB, 1, 45),
    (DL + r"\python-3.12.2-amd64.exe", 25 * MB + 600 * KB, 1, 80),
    (DL + r"\node-v20.11.1-x64.msi", 26 * MB, 1, 80),
    (DL + r"\Win11_23H2_Chinese_Simplified_x64v2.iso", 5 * GB + 900 * MB, 1, 100),
    (DL + r"\项目资料.zip", 340 * MB, 1, 30),
    (DL + r"\毕业设计.rar", 1 * GB + 100 * MB, 1, 120),
    (DL + r"\字体包.7z", 280 * MB, 1, 70),
    (DL + r"\驱动\NVIDIA-552.22-desktop-win10-win11-64bit.exe", 650 * MB, 1, 50),
    (DL + r"\驱动\Realtek_Audio_6.0.9549.1.zip", 330 * MB, 1, 50),
    (DL + r"\会议录屏_{day}.mp4", 1 * GB + 200 * MB, 1, 35),
    (DL + r"\流浪地球2.mkv", 4 * GB + 300 * MB, 1, 90),
    (DL + r"\产品演示.mp4", 180 * MB, 1, 20),
    (DL + r"\教程\第{n}课.mp4", (200 * MB, 600 * MB), 3, 100),
    (DL + r"\发票.pdf", 180 * KB, 1, 10),
    (DL + r"\报价单.xlsx", 60 * KB, 1, 10),
    (DL + r"\desktop.ini", 282, 1, 400),
]

# --- Personal files: nothing may ever remove these.
TREE += [
    (PROFILE + r"\NTUSER.DAT", 6 * MB, 1, 0),
    (DOCS + r"\工作报告.docx", 1 * MB + 200 * KB, 1, 3),
    (DOCS + r"\2024年度预算.xlsx", 460 * KB, 1, 12),
    (DOCS + r"\简历.pdf", 380 * KB, 1, 200),
    (DOCS + r"\毕业论文\论文终稿.docx", 8 * MB, 1, 300),
    (DOCS + r"\毕业论文\参考文献.txt", 3 * KB, 1, 300),
    (DOCS + r"\合同\租房合同.pdf", 2 * MB, 1, 150),
    (DOCS + r"\desktop.ini", 402, 1, 400),
    (PROFILE + r"\Desktop\照片.jpg", 3 * MB + 400 * KB, 1, 5),
    (PROFILE + r"\Desktop\待办事项.txt", 900, 1, 0),
    (PROFILE + r"\Desktop\项目计划.pptx", 16 * MB, 1, 8),
    (PROFILE + r"\Desktop\微信.lnk", 1 * KB + 300, 1, 100),
    (PROFILE + r"\Desktop\旧的安装包.exe", 80 * MB, 1, 100),
    (PROFILE + r"\Pictures\旅行\IMG_{date}_{time}.jpg", (2 * MB, 7 * MB), 30, 250),
    (PROFILE + r"\Pictures\Screenshots\屏幕截图 {day} {time}.png", (200 * KB, 2 * MB), 12, 120),
    (PROFILE + r"\Pictures\Camera Roll\desktop.ini", 504, 1, 400),
    (PROFILE + r"\Videos\家庭聚会.mp4", 1 * GB + 500 * MB, 1, 200),
    (PROFILE + r"\Music\CloudMusic\周杰伦 - 晴天.mp3", 9 * MB, 1, 150),
    (PROFILE + r"\Music\CloudMusic\陈奕迅 - 十年.mp3", 8 * MB, 1, 150),
    (PROFILE + r"\Music\CloudMusic\林俊杰 - 江南.flac", 31 * MB, 1, 150),
    (PROFILE + r"\Favorites\Bing.url", 208, 1, 400),
]

# --- A little of the system and programs, so the drive looks installed.
TREE += [
    (WIN + r"\explorer.exe", 4 * MB + 800 * KB, 1, 60),
    (WIN + r"\notepad.exe", 360 * KB, 1, 60),
    (WIN + r"\System32\ntoskrnl.exe", 10 * MB + 900 * KB, 1, 60),
    (WIN + r"\System32\kernel32.dll", 760 * KB, 1, 60),
    (WIN + r"\System32\shell32.dll", 7 * MB, 1, 60),
    (WIN + r"\System32\config\SOFTWARE", 120 * MB, 1, 0),
    (WIN + r"\System32\config\SYSTEM", 24 * MB, 1, 0),
    (WIN + r"\System32\drivers\etc\hosts", 824, 1, 400),
    (WIN + r"\Fonts\msyh.ttc", 19 * MB, 1, 400),
    (WIN + r"\Fonts\simsun.ttc", 17 * MB, 1, 400),
    (r"%ProgramFiles%\Microsoft Office\root\Office16\WINWORD.EXE", 1 * MB + 600 * KB, 1, 100),
    (r"%ProgramFiles%\Microsoft Office\root\Office16\wwlib.dll", 40 * MB, 1, 100),
    (r"%ProgramFiles(x86)%\Tencent\WeChat\WeChat.exe", 480 * KB, 1, 60),
    (r"%ProgramFiles(x86)%\Tencent\WeChat\WeChatWin.dll", 90 * MB, 1, 60),
    (r"%ProgramFiles(x86)%\Steam\steam.exe", 4 * MB, 1, 30),
    (r"%ProgramFiles(x86)%\Steam\steamapps\common\Counter-Strike Global Offensive\game\csgo\pak01_{i:03d}.vpk", (100 * MB, 200 * MB), 8, 30),
    (r"%ProgramData%\Microsoft\Windows\Start Menu\Programs\微信.lnk", 1 * KB + 300, 1, 60),
]


# --- What the space map finds beyond the catalogue: games with big packs,
# screen recordings, virtual disks, disc images, and a web project whose
# dependencies are thousands of small folders.
EPIC = r"%ProgramFiles%\Epic Games"
TREE += [
    (EPIC + r"\Fortnite\FortniteGame\Content\Paks\pakchunk{i}-WindowsClient.pak", (200 * MB, 3 * GB), 14, 20),
    (EPIC + r"\Fortnite\FortniteGame\Content\Paks\pakchunk{i}-WindowsClient.sig", (20 * KB, 300 * KB), 14, 20),
    (EPIC + r"\Fortnite\FortniteGame\Binaries\Win64\FortniteClient-Win64-Shipping.exe", 120 * MB, 1, 20),
    (EPIC + r"\Fortnite\FortniteGame\Binaries\Win64\{x8}.dll", (1 * MB, 40 * MB), 12, 20),
    (EPIC + r"\Launcher\Portal\Binaries\Win64\EpicGamesLauncher.exe", 40 * MB, 1, 60),
    (r"%ProgramFiles%\Genshin Impact\Genshin Impact Game\YuanShen_Data\StreamingAssets\AssetBundles\blocks\{X8}.blk", (20 * MB, 600 * MB), 40, 30),
    (r"%ProgramFiles%\Genshin Impact\Genshin Impact Game\YuanShen_Data\StreamingAssets\AudioAssets\Chinese\{x8}.pck", (50 * MB, 1 * GB), 8, 30),
    (r"%ProgramFiles%\Genshin Impact\Genshin Impact Game\YuanShen.exe", 1 * MB + 300 * KB, 1, 30),
    (r"%ProgramFiles(x86)%\Steam\steamapps\common\Counter-Strike Global Offensive\game\csgo\maps\{x8}.vpk", (40 * MB, 400 * MB), 10, 30),
    (PROFILE + r"\Videos\Captures\Counter-Strike 2 {day} {time}.mp4", (80 * MB, 1 * GB), 12, 120),
    (PROFILE + r"\Videos\婚礼\DSC_{i:04d}.MOV", (300 * MB, 2 * GB + 500 * MB), 6, 300),
    (PROFILE + r"\Videos\剪映草稿\{x16}\draft_content.json", (20 * KB, 3 * MB), 6, 60),
    (PROFILE + r"\Videos\剪映导出\{day}.mp4", (50 * MB, 800 * MB), 5, 60),
    (r"%ProgramData%\Microsoft\Windows\Virtual Hard Disks\Ubuntu 22.04 LTS.vhdx", 16 * GB + 300 * MB, 1, 3),
    (LOCAL + r"\Docker\wsl\disk\docker_data.vhdx", 8 * GB + 500 * MB, 1, 1),
    (LOCAL + r"\Packages\CanonicalGroupLimited.Ubuntu22.04LTS_79rhkp1fndgsc\LocalState\ext4.vhdx", 6 * GB + 200 * MB, 1, 2),
    (DL + r"\cn_office_professional_plus_2019_x86_x64_dvd.iso", 3 * GB + 400 * MB, 1, 200),
    (DL + r"\ubuntu-22.04.4-desktop-amd64.iso", 4 * GB + 700 * MB, 1, 60),
]

# npm's folders: a package each, most with a lib folder, some with their own
# nested dependencies. Names are drawn once from fixed words, so every run
# has the same packages.
NPM_WORDS = ("array object string path glob stream buffer event promise async color debug semver "
             "ansi strip json yaml parse format util define property map cache lru date time uuid "
             "hash base64 url http proxy agent retry queue watch loader plugin preset core runtime "
             "compat polyfill shim helper transform syntax browser env config cli style source "
             "escape regex match range merge clone deep flat each pick once wrap emit signal "
             "fast safe tiny micro pretty lint test mock spy babel postcss webpack rollup vite "
             "eslint react vue dom css html svg image font locale lodash jest node").split()


def npm_rows(project, count, seed):
    rng = random.Random(seed)
    names = set()
    while len(names) < count:
        a, b = rng.sample(NPM_WORDS, 2)
        kind = rng.random()
        names.add("@types/" + a if kind < 0.08 else "@babel/" + a + "-" + b if kind < 0.16 else a + "-" + b)
    rows = []
    for name in sorted(names):
        d = project + r"\node_modules" + "\\" + name.replace("/", "\\")
        rows += [(d + r"\package.json", (600, 3 * KB), 1, 90), (d + r"\index.js", (200, 3 * KB), 1, 90)]
        if rng.random() < 0.7:
            rows.append((d + r"\lib\{x8}.js", (1 * KB, 40 * KB), rng.randint(1, 3), 90))
        if rng.random() < 0.25:
            rows.append((d + r"\dist" + "\\" + name.split("/")[-1] + ".min.js", (5 * KB, 400 * KB), 1, 90))
        if rng.random() < 0.12:
            dep = d + r"\node_modules" + "\\" + rng.choice(NPM_WORDS)
            rows += [(dep + r"\package.json", (600, 2 * KB), 1, 90), (dep + r"\lib\index.js", (1 * KB, 20 * KB), 1, 90)]
    return rows


REPOS = PROFILE + r"\source\repos"
TREE += npm_rows(REPOS + r"\shop-web", 700, "npm-shop-web")
TREE += npm_rows(REPOS + r"\admin-console", 350, "npm-admin-console")
TREE += [
    (REPOS + r"\shop-web\src\components\{x8}.vue", (1 * KB, 30 * KB), 40, 30),
    (REPOS + r"\shop-web\package.json", 2 * KB, 1, 10),
    (REPOS + r"\shop-web\.git\objects\pack\pack-{x40}.pack", (5 * MB, 90 * MB), 3, 10),
]


# ---------------------------------------------------------------------------
# The writer.
# ---------------------------------------------------------------------------

def windows_env(user):
    """The variables the stand-in defines for a standard installation."""
    profile = "C:\\Users\\" + user
    return {
        "systemdrive": "C:",
        "systemroot": "C:\\Windows",
        "windir": "C:\\Windows",
        "programfiles": "C:\\Program Files",
        "programfiles(x86)": "C:\\Program Files (x86)",
        "programdata": "C:\\ProgramData",
        "userprofile": profile,
        "appdata": profile + "\\AppData\\Roaming",
        "localappdata": profile + "\\AppData\\Local",
        "temp": profile + "\\AppData\\Local\\Temp",
        "public": "C:\\Users\\Public",
    }


def host_path(root, win_path, env):
    """C:\\a\\b with %VARIABLES% expanded -> ROOT/c/a/b."""
    expanded = re.sub(r"%([^%]+)%", lambda m: env[m.group(1).lower()], win_path)
    drive, rest = expanded.split(":", 1)
    return os.path.join(root, drive.lower(), *[p for p in rest.split("\\") if p])


def draw_size(rng, size):
    if isinstance(size, int):
        return size
    lo, hi = size
    return int(math.exp(rng.uniform(math.log(max(lo, 1)), math.log(hi))))


def draw_age(rng, age):
    lo, hi = (0, age) if isinstance(age, (int, float)) else age
    return rng.uniform(lo, hi) * 86400


def fields(rng, i, mtime):
    t = time.gmtime(mtime)
    def hx(n):
        return "%0*x" % (n, rng.getrandbits(4 * n))
    g = hx(32).upper()
    return {
        "i": i, "n": i + 1,
        "x8": hx(8), "x16": hx(16), "x32": hx(32), "x40": hx(40),
        "X8": hx(8).upper(), "X32": hx(32).upper(),
        "guid": "{%s-%s-%s-%s-%s}" % (g[:8], g[8:12], g[12:16], g[16:20], g[20:]),
        "date": time.strftime("%Y%m%d", t), "day": time.strftime("%Y-%m-%d", t),
        "month": time.strftime("%Y-%m", t), "time": time.strftime("%H%M%S", t),
    }


def write_file(path, size, mtime):
    with open(path, "wb") as f:
        if size <= SMALL:
            line = ("%s\r\n" % os.path.basename(path)).encode("utf-8")
            f.write((line * (size // len(line) + 1))[:size])
        else:
            f.truncate(size)  # sparse: no blocks written
    os.utime(path, (mtime, mtime))


def tree_files():
    """Every file of the tree once, in table order: (Windows path with its
    %VARIABLES% as written, size, mtime in Unix seconds)."""
    # Times count back from midnight (UTC) today, so two runs on one day give
    # identical trees.
    today = int(time.time()) // 86400 * 86400
    # Two spellings of one place (%TEMP% and %LOCALAPPDATA%\\Temp) are one
    # folder; which user the profile belongs to does not matter for that.
    env = windows_env("user")
    seen = set()
    for row in TREE:
        template, size, count = row[:3]
        age = row[3] if len(row) > 3 else DEFAULT_AGE
        rng = random.Random(template)
        for i in range(count):
            mtime = today - draw_age(rng, age)
            nbytes = draw_size(rng, size)
            win_path = template.format_map(fields(rng, i, mtime))
            key = host_path("", win_path, env)
            if key in seen:  # a time-stamped name can repeat; keep the first
                continue
            seen.add(key)
            yield win_path, nbytes, mtime


def write_tree(root, user):
    env = windows_env(user)
    made_dirs = set()
    files = 0
    total = 0
    for win_path, nbytes, mtime in tree_files():
        path = host_path(root, win_path, env)
        parent = os.path.dirname(path)
        if parent not in made_dirs:
            os.makedirs(parent, exist_ok=True)
            made_dirs.add(parent)
        write_file(path, nbytes, mtime)
        files += 1
        total += nbytes
    return files, total


def prepare_root(root):
    """Create ROOT and its marker; clear a drive made by an earlier run."""
    drive = os.path.join(root, "c")
    marker = os.path.join(root, MARKER)
    if os.path.lexists(drive):
        if not os.path.isfile(marker):
            sys.exit("make_demo_drive: %s exists and %s has no %s marker; refusing to touch it"
                     % (drive, root, MARKER))
        if os.path.islink(drive) or not os.path.isdir(drive):
            sys.exit("make_demo_drive: %s is not a plain directory; refusing to touch it" % drive)
        shutil.rmtree(drive)
    second = os.path.join(root, "d")
    if os.path.lexists(second) and os.path.isfile(marker) and os.path.isdir(second) \
            and not os.path.islink(second):
        shutil.rmtree(second)
    os.makedirs(root, exist_ok=True)
    with open(marker, "w", encoding="utf-8") as f:
        f.write("Demo drive made by make_demo_drive.py; it deletes and rebuilds c/ here.\n")


def main():
    ap = argparse.ArgumentParser(description="Build a demo Windows drive C under ROOT/c.")
    ap.add_argument("root", metavar="ROOT", nargs="?")
    ap.add_argument("--user", help="profile name under C:\\Users (default: the effective user's login name)")
    ap.add_argument("--list", action="store_true",
                    help="write nothing; print the tree as JSON lines [path, size, mtime] with the "
                         "%%VARIABLES%% of the paths as written, for tests that plant it themselves")
    ap.add_argument("--capacity", type=float, default=256,
                    help="the drive's size in GB, written to ROOT/c.capacity (default 256; "
                         "raised to hold the files with a quarter to spare)")
    ap.add_argument("--second-capacity", type=float, default=512,
                    help="the size in GB of the empty drive D: made beside it, ROOT/d with "
                         "ROOT/d.capacity (default 512)")
    args = ap.parse_args()
    if args.list:
        for row in tree_files():
            print(json.dumps(row, ensure_ascii=False))
        return
    if not args.root:
        ap.error("ROOT is required")
    user = args.user or pwd.getpwuid(os.geteuid()).pw_name
    if not user or any(c in user for c in "\\/:%"):
        sys.exit("make_demo_drive: unusable user name %r" % user)
    root = os.path.abspath(args.root)
    prepare_root(root)
    files, total = write_tree(root, user)
    env = windows_env(user)
    for win_path, text, size in CONTENT:
        path = host_path(root, win_path, env)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(text if isinstance(text, bytes) else text.encode("utf-8"))
            if size:
                f.truncate(size)
        files += 1
        total += size or len(text)
    capacity = max(int(args.capacity * GB), int(math.ceil(total * 1.25)))
    with open(os.path.join(root, "c.capacity"), "w", encoding="utf-8") as f:
        f.write("%d\n" % capacity)
    # Windows 10 22H2 with its reserved storage on, Compact OS off.
    with open(os.path.join(root, "windows-version"), "w", encoding="utf-8") as f:
        f.write("10.0.19045\n")
    with open(os.path.join(root, "c.reserved"), "w", encoding="utf-8") as f:
        f.write("%d\n" % (7 * GB))
    for stale in ("c.reserved.off", "compact-os"):
        if os.path.exists(os.path.join(root, stale)):
            os.remove(os.path.join(root, stale))
    # A second, empty drive D: to move folders to.
    os.makedirs(os.path.join(root, "d"), exist_ok=True)
    with open(os.path.join(root, "d.capacity"), "w", encoding="utf-8") as f:
        f.write("%d\n" % int(args.second_capacity * GB))
    print("make_demo_drive: %d files under %s, %.1f GB apparent size (sparse)"
          % (files, os.path.join(root, "c"), total / GB))


if __name__ == "__main__":
    main()
