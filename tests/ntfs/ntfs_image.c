/* Builds and lists NTFS images for the master file table tests, through
 * libntfs-3g alone (no mount):
 *
 *   ntfs_image make IMAGE FILES   fills a volume that mkntfs made: FILES
 *                                 files in deep and wide folders, names of
 *                                 every character a name may hold and
 *                                 outside the BMP, hard links in several
 *                                 folders, named streams, sparse and
 *                                 compressed files, a reparse point, deleted
 *                                 files and a file of so many names that it
 *                                 needs an attribute list
 *   ntfs_image plain IMAGE FILES DIRS   (the benchmark) FILES small files
 *                                 spread evenly over DIRS folders, ten
 *                                 folders to a parent folder
 *   ntfs_image list IMAGE         prints the tree as libntfs-3g reads it, one
 *                                 line per name (the tests' oracle):
 *                                 record parent dir reparse bytes links mtime hexname
 *
 * Exit 0 on success; any failure prints why and exits 1. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>

#include <ntfs-3g/types.h>
#include <ntfs-3g/attrib.h>
#include <ntfs-3g/dir.h>
#include <ntfs-3g/inode.h>
#include <ntfs-3g/layout.h>
#include <ntfs-3g/reparse.h>
#include <ntfs-3g/volume.h>

static void Die(const char* what) {
  fprintf(stderr, "ntfs_image: %s: %s\n", what, strerror(errno));
  exit(1);
}

/* ---- Names ------------------------------------------------------------------- */

typedef struct {
  ntfschar u[256];
  int len;
} Name;

static void Put(Name* n, unsigned cp) {
  if (cp >= 0x10000) {
    cp -= 0x10000;
    n->u[n->len++] = cpu_to_le16((u16)(0xD800 + (cp >> 10)));
    n->u[n->len++] = cpu_to_le16((u16)(0xDC00 + (cp & 0x3FF)));
  } else {
    n->u[n->len++] = cpu_to_le16((u16)cp);
  }
}

static Name Ascii(const char* s) {
  Name n;
  n.len = 0;
  while (*s) Put(&n, (unsigned char)*s++);
  return n;
}

static Name Numbered(const char* prefix, int i, const char* ext) {
  char buf[128];
  snprintf(buf, sizeof buf, "%s%d%s", prefix, i, ext);
  return Ascii(buf);
}

/* ---- Making ------------------------------------------------------------------ */

static ntfs_inode* Create(ntfs_inode* dir, Name n, int folder) {
  ntfs_inode* ni = ntfs_create(dir, const_cpu_to_le32(0), n.u, (u8)n.len, folder ? S_IFDIR : S_IFREG);
  if (!ni) Die("create");
  return ni;
}

static unsigned g_seed = 12345;
static unsigned Rand(void) {
  g_seed = g_seed * 1103515245u + 12345u;
  return g_seed >> 8;
}

static void Write(ntfs_inode* ni, const ntfschar* stream, int streamLen, s64 at, s64 bytes,
                  int compressible) {
  ntfs_attr* na;
  static char buf[65536];
  if (stream && ntfs_attr_add(ni, AT_DATA, (ntfschar*)stream, (u8)streamLen, NULL, 0)) Die("add stream");
  na = ntfs_attr_open(ni, AT_DATA, stream ? (ntfschar*)stream : AT_UNNAMED, stream ? streamLen : 0);
  if (!na) Die("open data");
  while (bytes > 0) {
    s64 n = bytes < (s64)sizeof buf ? bytes : (s64)sizeof buf;
    for (s64 i = 0; i < n; ++i) buf[i] = compressible ? (char)('a' + (i / 512) % 3) : (char)Rand();
    if (ntfs_attr_pwrite(na, at, n, buf) != n) Die("write");
    at += n;
    bytes -= n;
  }
  ntfs_attr_close(na);
}

/* Closes an inode, writing its names into the open folder that holds them. */
static void Close(ntfs_inode* ni, ntfs_inode* dir) {
  if (dir ? ntfs_inode_close_in_dir(ni, dir) : ntfs_inode_close(ni)) Die("close");
}

static int Make(const char* image, int files) {
  ntfs_volume* vol = ntfs_mount(image, NTFS_MNT_NONE);
  ntfs_inode *root, *deep, *wide, *chars, *links, *dir, *ni, *comp;
  int made = 0, i, d;
  if (!vol) Die("mount");
  NVolSetCompression(vol);
  root = ntfs_inode_open(vol, FILE_root);
  if (!root) Die("root");

  /* Wide: one folder of many files, of every size class. */
  wide = Create(root, Ascii("wide"), 1);
  for (i = 0; made < files / 3; ++i, ++made) {
    ni = Create(wide, Numbered("file-", i, i % 3 == 0 ? ".txt" : i % 3 == 1 ? ".mp4" : ".zip"), 0);
    if (i % 5) Write(ni, NULL, 0, 0, (s64)(Rand() % (i % 7 == 0 ? 20000 : 700)), 0);
    Close(ni, wide);
  }
  /* Deep: a chain of folders, each with a few files and a side folder. */
  {
    ntfs_inode* chain[41];
    chain[0] = deep = Create(root, Ascii("deep"), 1);
    for (d = 0; d < 40; ++d) {
      ntfs_inode* side;
      dir = chain[d];
      chain[d + 1] = Create(dir, Numbered("level-", d, ""), 1);
      side = Create(dir, Numbered("side-", d, ""), 1);
      for (i = 0; i < 3; ++i, ++made) {
        ni = Create(side, Numbered("s", i, ".jpg"), 0);
        Write(ni, NULL, 0, 0, 100 + d * 10 + i, 0);
        Close(ni, side);
      }
      Close(side, dir);
      ni = Create(dir, Numbered("f", d, ".log"), 0);
      Write(ni, NULL, 0, 0, 3000 + d, 0);
      Close(ni, dir);
      ++made;
    }
    for (d = 40; d > 0; --d) Close(chain[d], chain[d - 1]);
    Close(deep, root);
  }
  /* Many folders of files until the count is reached. */
  for (d = 0; made < files; ++d) {
    dir = Create(root, Numbered("folder-", d, ""), 1);
    for (i = 0; i < 100 && made < files; ++i, ++made) {
      ni = Create(dir, Numbered("item-", i, ".dat"), 0);
      Write(ni, NULL, 0, 0, (s64)(Rand() % 3000), 0);
      Close(ni, dir);
    }
    Close(dir, root);
  }
  /* Every character a name may hold (all but NUL, '/' and the surrogate
   * halves), 200 to a name, and names outside the BMP. */
  chars = Create(root, Ascii("chars"), 1);
  {
    Name n;
    unsigned cp;
    n.len = 0;
    for (cp = 1; cp <= 0xFFFF; ++cp) {
      if (cp == '/' || cp == '\\' || (cp >= 0xD800 && cp < 0xE000)) continue;
      if (n.len == 0 && cp == '.') continue;
      Put(&n, cp);
      if (n.len == 200) {
        ni = Create(chars, n, 0);
        Write(ni, NULL, 0, 0, cp % 97, 0);
        Close(ni, chars);
        n.len = 0;
      }
    }
    if (n.len) Close(Create(chars, n, 0), chars);
    n = Ascii("astral-");
    Put(&n, 0x1F600);
    Put(&n, 0x10FFFF);
    Put(&n, 0x20000);
    ni = Create(chars, n, 0);
    Write(ni, NULL, 0, 0, 4242, 0);
    Close(ni, chars);
    n = Ascii("");
    Put(&n, 0x1F4C1);
    Close(Create(chars, n, 1), chars);
  }
  Close(chars, root);
  /* Hard links in several folders; one file of so many long names that they
   * no longer fit its record. */
  links = Create(root, Ascii("links"), 1);
  {
    ntfs_inode *a = Create(links, Ascii("a"), 1), *b, *c;
    u64 na = a->mft_no, nb, nc, files[21];
    b = Create(links, Ascii("b"), 1);
    c = Create(root, Ascii("c-links"), 1);
    nb = b->mft_no;
    nc = c->mft_no;
    Close(b, links);
    Close(c, root);
    for (i = 0; i < 21; ++i) {
      ni = Create(a, i < 20 ? Numbered("linked-", i, ".dll") : Ascii("many-names"), 0);
      Write(ni, NULL, 0, 0, i < 20 ? 5000 + i : 77777, 0);
      files[i] = ni->mft_no;
      Close(ni, a);
    }
    Close(a, links);
    (void)na;
    /* One name at a time, with only the folder that takes it open. */
    for (i = 0; i < 21; ++i) {
      int k, names = i < 20 ? (i % 2 ? 2 : 1) : 24;
      for (k = 0; k < names; ++k) {
        Name n;
        int toB = i < 20 ? k == 0 : k % 2;
        ntfs_inode* to = ntfs_inode_open(vol, toB ? nb : nc);
        if (i < 20) {
          n = Numbered(toB ? "other-" : "third-", i, ".dll");
        } else {
          char buf[200];
          memset(buf, 'n', 180);
          snprintf(buf + 180, 20, "-%d", k);
          n = Ascii(buf);
        }
        ni = ntfs_inode_open(vol, files[i]);
        if (!to || !ni) Die("open");
        if (ntfs_link(ni, to, n.u, (u8)n.len)) Die("link");
        Close(ni, to);
        Close(to, toB ? links : root);
      }
    }
  }
  Close(links, root);
  /* Streams, sparse and compressed files, a reparse point. */
  dir = Create(root, Ascii("special"), 1);
  {
    Name s1 = Ascii("Zone.Identifier"), s2 = Ascii("big-stream");
    ni = Create(dir, Ascii("with-streams.txt"), 0);
    Write(ni, NULL, 0, 0, 1234, 0);
    Write(ni, s1.u, s1.len, 0, 26, 0);
    Write(ni, s2.u, s2.len, 0, 70000, 0);
    Close(ni, dir);
    ni = Create(dir, Ascii("sparse.vhd"), 0);
    Write(ni, NULL, 0, 0, 8192, 0);
    Write(ni, NULL, 0, (s64)50 << 20, 8192, 0);
    Close(ni, dir);
    comp = Create(dir, Ascii("compressed"), 1);
    comp->flags |= FILE_ATTR_COMPRESSED;
    NInoSetDirty(comp);
    for (i = 0; i < 3; ++i) {
      ni = Create(comp, Numbered("packed-", i, ".log"), 0);
      Write(ni, NULL, 0, 0, 200000 + i * 4096, 1);
      Close(ni, comp);
    }
    Close(comp, dir);
    ni = Create(dir, Ascii("junction"), 1);
    {
      /* A symbolic link's reparse data: tag, length, then the names. */
      static const char target[] = "\\??\\C:\\Windows";
      char data[256];
      int tl = (int)strlen(target), k, body = 12 + 4 * tl;
      memset(data, 0, sizeof data);
      data[0] = 0x03; data[3] = (char)0xA0;  /* IO_REPARSE_TAG_MOUNT_POINT */
      data[4] = (char)body;
      data[10] = (char)(2 * tl);              /* substitute name length */
      data[12] = (char)(2 * tl + 2);          /* print name offset */
      data[14] = (char)(2 * tl);              /* print name length */
      for (k = 0; k < tl; ++k) data[16 + 2 * k] = target[k];
      for (k = 0; k < tl; ++k) data[16 + 2 * tl + 2 + 2 * k] = target[k];
      if (ntfs_set_ntfs_reparse_data(ni, data, (size_t)(8 + body), 0)) Die("reparse");
    }
    Close(ni, dir);
  }
  /* Deleted files leave records not in use behind. */
  for (i = 0; i < 50; ++i) {
    Name n = Numbered("gone-", i, ".tmp");
    ni = Create(dir, n, 0);
    Write(ni, NULL, 0, 0, 100, 0);
    if (ntfs_delete(vol, "gone", ni, dir, n.u, (u8)n.len)) Die("delete");
  }
  Close(dir, root);
  Close(root, NULL);
  if (ntfs_umount(vol, FALSE)) Die("umount");
  return 0;
}

/* The benchmark's volume: small files (kept in their records) in a tree of
 * folders, ten to a parent, each with its share of the files. */
static int Plain(const char* image, int files, int dirs) {
  ntfs_volume* vol = ntfs_mount(image, NTFS_MNT_NONE);
  ntfs_inode *root, *group = NULL, *dir, *ni;
  int d, i, made = 0;
  if (!vol || dirs < 1) Die("mount");
  root = ntfs_inode_open(vol, FILE_root);
  if (!root) Die("root");
  for (d = 0; d < dirs; ++d) {
    int here = files / dirs + (d < files % dirs ? 1 : 0);
    if (d % 10 == 0) {
      if (group) Close(group, root);
      group = Create(root, Numbered("g", d / 10, ""), 1);
    }
    dir = Create(group, Numbered("d", d, ""), 1);
    for (i = 0; i < here; ++i, ++made) {
      ni = Create(dir, Numbered("file-", i, i % 2 ? ".txt" : ".dat"), 0);
      Write(ni, NULL, 0, 0, (s64)(Rand() % 400), 0);
      Close(ni, dir);
    }
    Close(dir, group);
  }
  if (group) Close(group, root);
  Close(root, NULL);
  if (ntfs_umount(vol, FALSE)) Die("umount");
  printf("files=%d dirs=%d\n", made, dirs + (dirs + 9) / 10);
  return 0;
}

/* ---- Listing ----------------------------------------------------------------- */

typedef struct {
  u64 record;
  u64 parent;
  int type;
  char name[1024];
} Entry;

typedef struct {
  Entry* items;
  size_t count, cap;
} Entries;

static void Utf8(const ntfschar* u, int len, char* out) {
  int i;
  for (i = 0; i < len; ++i) {
    unsigned c = le16_to_cpu(u[i]);
    if (c >= 0xD800 && c < 0xDC00 && i + 1 < len) {
      unsigned d = le16_to_cpu(u[i + 1]);
      if (d >= 0xDC00 && d < 0xE000) {
        c = 0x10000 + ((c - 0xD800) << 10) + (d - 0xDC00);
        ++i;
      }
    }
    if (c >= 0xD800 && c < 0xE000) c = 0xFFFD;
    if (c < 0x80) {
      *out++ = (char)c;
    } else if (c < 0x800) {
      *out++ = (char)(0xC0 | (c >> 6));
      *out++ = (char)(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      *out++ = (char)(0xE0 | (c >> 12));
      *out++ = (char)(0x80 | ((c >> 6) & 0x3F));
      *out++ = (char)(0x80 | (c & 0x3F));
    } else {
      *out++ = (char)(0xF0 | (c >> 18));
      *out++ = (char)(0x80 | ((c >> 12) & 0x3F));
      *out++ = (char)(0x80 | ((c >> 6) & 0x3F));
      *out++ = (char)(0x80 | (c & 0x3F));
    }
  }
  *out = 0;
}

static u64 g_parent;

static int Fill(void* ctx, const ntfschar* name, const int len, const int type, const s64 pos,
                const MFT_REF mref, const unsigned dt) {
  Entries* e = (Entries*)ctx;
  (void)pos;
  (void)dt;
  if (type == FILE_NAME_DOS) return 0;
  if (len == 1 && le16_to_cpu(name[0]) == '.') return 0;
  if (len == 2 && le16_to_cpu(name[0]) == '.' && le16_to_cpu(name[1]) == '.') return 0;
  if (MREF(mref) < 24) return 0; /* the volume's own files */
  if (e->count == e->cap) {
    e->cap = e->cap ? 2 * e->cap : 1024;
    e->items = (Entry*)realloc(e->items, e->cap * sizeof(Entry));
  }
  e->items[e->count].record = MREF(mref);
  e->items[e->count].parent = g_parent;
  e->items[e->count].type = type;
  Utf8(name, len, e->items[e->count].name);
  e->count++;
  return 0;
}

/* The space a stream takes, as the library sees it. */
static s64 StreamBytes(ntfs_inode* ni, ntfschar* name, u32 len) {
  ntfs_attr* na = ntfs_attr_open(ni, AT_DATA, name, len);
  s64 b;
  if (!na) Die("open stream");
  b = (na->data_flags & (ATTR_IS_COMPRESSED | ATTR_IS_SPARSE)) ? na->compressed_size
                                                                : na->data_size;
  ntfs_attr_close(na);
  return b;
}

static s64 FileBytes(ntfs_inode* ni) {
  ntfs_attr_search_ctx* ctx = ntfs_attr_get_search_ctx(ni, NULL);
  s64 total = 0;
  ntfschar names[64][256];
  u32 lens[64];
  int n = 0, i;
  if (!ctx) Die("ctx");
  while (!ntfs_attr_lookup(AT_DATA, NULL, 0, CASE_SENSITIVE, 0, NULL, 0, ctx)) {
    ATTR_RECORD* a = ctx->attr;
    int seen = 0;
    if (a->non_resident && sle64_to_cpu(a->lowest_vcn) != 0) continue;
    for (i = 0; i < n; ++i)
      if (lens[i] == a->name_length &&
          !memcmp(names[i], (char*)a + le16_to_cpu(a->name_offset), 2 * a->name_length))
        seen = 1;
    if (seen || n == 64) continue;
    lens[n] = a->name_length;
    memcpy(names[n], (char*)a + le16_to_cpu(a->name_offset), 2 * a->name_length);
    ++n;
  }
  ntfs_attr_put_search_ctx(ctx);
  for (i = 0; i < n; ++i) total += StreamBytes(ni, lens[i] ? names[i] : AT_UNNAMED, lens[i]);
  return total;
}

static int List(const char* image) {
  ntfs_volume* vol = ntfs_mount(image, NTFS_MNT_RDONLY);
  Entries all = {0, 0, 0};
  size_t next = 0, i, j;
  u64* queue;
  size_t qn = 0, qcap = 1024;
  if (!vol) Die("mount");
  queue = (u64*)malloc(qcap * sizeof(u64));
  queue[qn++] = FILE_root;
  while (next < qn) {
    u64 dirRec = queue[next++];
    ntfs_inode* dir = ntfs_inode_open(vol, dirRec);
    s64 pos = 0;
    size_t from = all.count;
    if (!dir) Die("open folder");
    g_parent = dirRec;
    if (!(dir->flags & FILE_ATTR_REPARSE_POINT) && ntfs_readdir(dir, &pos, &all, Fill))
      Die("readdir");
    ntfs_inode_close(dir);
    for (i = from; i < all.count; ++i)
      if (all.items[i].type != 0xFF && 1) {
        ntfs_inode* ni = ntfs_inode_open(vol, all.items[i].record);
        if (!ni) Die("open");
        if (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) {
          if (qn == qcap) queue = (u64*)realloc(queue, (qcap *= 2) * sizeof(u64));
          queue[qn++] = all.items[i].record;
        }
        ntfs_inode_close(ni);
      }
  }
  for (i = 0; i < all.count; ++i) {
    Entry* e = &all.items[i];
    ntfs_inode* ni = ntfs_inode_open(vol, e->record);
    int links = 0;
    int dir;
    if (!ni) Die("open");
    dir = (ni->mrec->flags & MFT_RECORD_IS_DIRECTORY) != 0;
    for (j = 0; j < all.count; ++j)
      if (all.items[j].record == e->record) ++links;
    printf("%llu %llu %d %d %lld %d %lld ", (unsigned long long)e->record,
           (unsigned long long)e->parent, dir, (ni->flags & FILE_ATTR_REPARSE_POINT) != 0,
           dir ? 0LL : (long long)FileBytes(ni), links,
           (long long)sle64_to_cpu(ni->last_data_change_time));
    for (j = 0; e->name[j]; ++j) printf("%02x", (unsigned char)e->name[j]);
    printf("\n");
    ntfs_inode_close(ni);
  }
  ntfs_umount(vol, FALSE);
  return 0;
}

int main(int argc, char** argv) {
  if (argc == 4 && !strcmp(argv[1], "make")) return Make(argv[2], atoi(argv[3]));
  if (argc == 3 && !strcmp(argv[1], "list")) return List(argv[2]);
  if (argc == 5 && !strcmp(argv[1], "plain")) return Plain(argv[2], atoi(argv[3]), atoi(argv[4]));
  fprintf(stderr, "usage: ntfs_image make IMAGE FILES | plain IMAGE FILES DIRS | list IMAGE\n");
  return 2;
}
