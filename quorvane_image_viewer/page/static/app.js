"use strict";

// The page's whole state lives in its address, so any folder or image view can be bookmarked:
// ?dir=Trips&sort=date&desc=1&hidden=1&open=Trips/a.jpg
const token = document.querySelector('meta[name="token"]').content;
const $ = (id) => document.getElementById(id);
const SORTS = ["name", "size", "date", "type"];

const state = { dir: "", sort: "name", desc: false, hidden: false, open: null };
const selected = new Set();
let listing = null;
let listingKey = null;
let generation = 0;
let busy = false;

// Talking to the server

function query(values) {
  return new URLSearchParams(values).toString();
}

async function answer(response) {
  let body = null;
  try {
    body = await response.json();
  } catch (e) {
    body = null;
  }
  if (!response.ok) throw new Error((body && body.error) || `${response.status} ${response.statusText}`);
  return body;
}

async function getJson(url) {
  return answer(await fetch(url));
}

async function post(path, body) {
  const response = await fetch(path, {
    method: "POST",
    headers: { "Content-Type": "application/json", "X-Token": token },
    body: JSON.stringify(body),
  });
  return (await answer(response)).done;
}

const thumbUrl = (file) => "/thumb?" + query({ path: file.path, v: file.v });
const imageUrl = (file) => "/image?" + query({ path: file.path, v: file.v });

// Addresses and history

function readAddress() {
  const q = new URLSearchParams(location.search);
  state.dir = q.get("dir") || "";
  state.sort = SORTS.includes(q.get("sort")) ? q.get("sort") : "name";
  state.desc = q.get("desc") === "1";
  state.hidden = q.get("hidden") === "1";
  state.open = q.get("open") || null;
  // A bookmarked image opens inside its own folder.
  if (state.open && !q.get("dir")) state.dir = parentOf(state.open);
}

function addressOf(s) {
  const q = new URLSearchParams();
  if (s.dir) q.set("dir", s.dir);
  if (s.sort !== "name") q.set("sort", s.sort);
  if (s.desc) q.set("desc", "1");
  if (s.hidden) q.set("hidden", "1");
  if (s.open) q.set("open", s.open);
  const text = q.toString();
  return "/" + (text ? "?" + text : "");
}

function parentOf(path) {
  const cut = path.lastIndexOf("/");
  return cut < 0 ? "" : path.slice(0, cut);
}

const nameOf = (path) => path.slice(path.lastIndexOf("/") + 1);

function go(changes, push = true) {
  if ("dir" in changes && changes.dir !== state.dir) selected.clear();
  Object.assign(state, changes);
  history[push ? "pushState" : "replaceState"](null, "", addressOf(state));
  return render();
}

// Drawing

async function render(reload = false) {
  const mine = ++generation;
  const key = JSON.stringify([state.dir, state.sort, state.desc, state.hidden]);
  if (reload || key !== listingKey) {
    let fresh;
    try {
      fresh = await getJson("/api/list?" + query({
        path: state.dir, sort: state.sort, desc: state.desc ? "1" : "0", hidden: state.hidden ? "1" : "0",
      }));
    } catch (error) {
      if (mine !== generation) return;
      listing = null;
      listingKey = null;
      drawError(error.message);
      return;
    }
    if (mine !== generation) return;
    listing = fresh;
    listingKey = key;
    for (const path of [...selected]) if (!listing.files.some((f) => f.path === path)) selected.delete(path);
    drawFolder();
  }
  drawControls();
  if (state.open) await drawImage(mine);
  else drawBrowser();
}

function drawControls() {
  $("sort").value = state.sort;
  $("direction").textContent = state.desc ? "\u2193 descending" : "\u2191 ascending";
  $("direction").title = state.desc ? "Descending; click for ascending" : "Ascending; click for descending";
  $("hidden").checked = state.hidden;
  drawTargets();
}

function drawError(message) {
  $("crumbs").replaceChildren();
  $("folders").replaceChildren();
  $("grid").replaceChildren();
  showMessage(message);
  drawBrowser();
}

function showMessage(text) {
  $("message").textContent = text || "";
  $("message").hidden = !text;
}

function link(text, changes, className) {
  const a = document.createElement("a");
  a.href = addressOf({ ...state, open: null, ...changes });
  a.textContent = text;
  if (className) a.className = className;
  a.addEventListener("click", (event) => {
    if (event.ctrlKey || event.metaKey || event.shiftKey || event.button !== 0) return;
    event.preventDefault();
    go({ open: null, ...changes });
  });
  return a;
}

function drawFolder() {
  const crumbs = listing.crumbs.map((crumb, i) =>
    i === listing.crumbs.length - 1 ? Object.assign(document.createElement("span"), { textContent: crumb.name })
      : link(crumb.name, { dir: crumb.path }));
  const parts = [];
  crumbs.forEach((crumb, i) => {
    if (i) parts.push(Object.assign(document.createElement("span"), { className: "sep", textContent: "/" }));
    parts.push(crumb);
  });
  $("crumbs").replaceChildren(...parts);
  $("up").disabled = listing.parent === null;

  $("folders").replaceChildren(...listing.folders.map((folder) => {
    const tile = link("", { dir: folder.path }, "tile folder");
    tile.title = folder.name;
    const icon = Object.assign(document.createElement("span"), { className: "folder-icon" });
    const name = Object.assign(document.createElement("span"), { className: "name", textContent: folder.name });
    tile.replaceChildren(icon, name);
    return tile;
  }));

  $("grid").replaceChildren(...listing.files.map((file) => {
    const tile = document.createElement("figure");
    tile.className = "tile image";
    tile.dataset.path = file.path;
    const open = document.createElement("button");
    open.className = "open";
    open.title = `${file.name} (${size(file.size)})`;
    const img = document.createElement("img");
    img.className = "thumb";
    img.alt = file.name;
    img.loading = "lazy";
    img.decoding = "async";
    img.src = thumbUrl(file);
    img.addEventListener("error", () => tile.classList.add("broken"));
    open.append(img);
    const pick = document.createElement("label");
    pick.className = "pick";
    pick.title = "Select";
    const box = document.createElement("input");
    box.type = "checkbox";
    box.setAttribute("aria-label", `Select ${file.name}`);
    pick.append(box);
    const caption = Object.assign(document.createElement("figcaption"), { textContent: file.name });
    tile.append(open, pick, caption);
    return tile;
  }));
  showMessage(listing.folders.length || listing.files.length ? "" : "No images or folders here.");
  drawSelection();
}

function drawSelection() {
  for (const tile of $("grid").children) {
    const on = selected.has(tile.dataset.path);
    tile.classList.toggle("selected", on);
    tile.querySelector("input").checked = on;
  }
  drawTargets();
}

function targets() {
  if (state.open) return listing && listing.files.some((f) => f.path === state.open) ? [state.open] : [];
  return listing ? listing.files.filter((f) => selected.has(f.path)).map((f) => f.path) : [];
}

function drawTargets() {
  const count = targets().length;
  $("target-label").textContent = state.open ? nameOf(state.open)
    : count ? `${count} of ${listing.files.length} images selected`
      : listing ? `${listing.files.length} images \u2014 tick images to edit them` : "";
  for (const button of document.querySelectorAll("[data-edit]")) button.disabled = busy || !count;
  for (const el of document.querySelectorAll(".grid-only")) el.hidden = !!state.open;
}

function drawBrowser() {
  $("viewer").hidden = true;
  $("browser").hidden = false;
  $("full").removeAttribute("src");
  document.title = `${listing ? listing.crumbs[listing.crumbs.length - 1].name : "Folder"} \u2014 Image viewer`;
  drawTargets();
}

async function drawImage(mine) {
  const files = listing ? listing.files : [];
  const at = files.findIndex((f) => f.path === state.open);
  if (at < 0) {
    go({ open: null }, false);
    showMessage(`Not found in this folder: ${state.open}`);
    return;
  }
  const file = files[at];
  $("browser").hidden = true;
  $("viewer").hidden = false;
  const full = $("full");
  if (full.dataset.src !== imageUrl(file)) {
    full.dataset.src = imageUrl(file);
    full.src = imageUrl(file);
    full.alt = file.name;
  }
  $("prev").disabled = at === 0;
  $("next").disabled = at === files.length - 1;
  $("info-position").textContent = `${at + 1} of ${files.length}`;
  $("info-name").textContent = file.name;
  // Neighbours load while this one is looked at, so the arrow keys feel instant.
  for (const near of [files[at - 1], files[at + 1]]) if (near) new Image().src = imageUrl(near);
  let info;
  try {
    info = await getJson("/api/info?" + query({ path: file.path }));
  } catch (error) {
    if (mine !== generation) return;
    $("info-pixels").textContent = "";
    $("info-list").replaceChildren(...rows([["Error", error.message]]));
    return;
  }
  if (mine !== generation) return;
  $("info-pixels").textContent = `${info.width} \u00d7 ${info.height} pixels`;
  document.title = `${info.name} (${info.width} \u00d7 ${info.height}) \u2014 Image viewer`;
  const exif = info.exif;
  const camera = [exif.make, exif.model].filter(Boolean).join(" ");
  // When it was taken; the last-modified stamp only for cameras that write no other.
  const taken = exif.taken || exif.datetime;
  $("info-list").replaceChildren(...rows([
    ["Size", size(info.size)],
    ["Modified", new Date(info.mtime * 1000).toLocaleString()],
    ["Type", (file.name.includes(".") ? file.name.split(".").pop() : "").toUpperCase()],
    ["Folder", "/" + parentOf(info.path)],
    ["Camera", camera],
    // Camera clocks write the date with colons: 2026:12:07 10:30:00.
    ["Taken", taken && taken.replace(/^(\d{4}):(\d{2}):(\d{2})/, "$1-$2-$3")],
    ["Exposure", exposure(exif.exposure)],
    ["Aperture", exif.fnumber && `f/${exif.fnumber}`],
    ["ISO", exif.iso],
    ["Focal length", exif.focal && `${exif.focal} mm`],
    ["Lens", exif.lens],
    ["Position", exif.latitude && exif.longitude && `${exif.latitude}, ${exif.longitude}`],
  ]));
}

function rows(pairs) {
  const out = [];
  for (const [term, value] of pairs) {
    if (!value) continue;
    out.push(Object.assign(document.createElement("dt"), { textContent: term }));
    out.push(Object.assign(document.createElement("dd"), { textContent: value }));
  }
  return out;
}

function size(bytes) {
  if (bytes < 1024) return `${bytes} bytes`;
  const units = ["KB", "MB", "GB", "TB"];
  let value = bytes / 1024;
  let unit = 0;
  while (value >= 1024 && unit < units.length - 1) {
    value /= 1024;
    unit += 1;
  }
  return `${value.toFixed(value < 10 ? 1 : 0)} ${units[unit]}`;
}

function exposure(text) {
  const seconds = parseFloat(text);
  if (!text || !(seconds > 0)) return text;
  return seconds < 1 ? `1/${Math.round(1 / seconds)} s` : `${seconds} s`;
}

function step(by) {
  const files = listing.files;
  const at = files.findIndex((f) => f.path === state.open) + by;
  if (at >= 0 && at < files.length) go({ open: files[at].path }, false);
}

// Edits

function ask(dialog, count) {
  for (const el of dialog.querySelectorAll(".count")) el.textContent = count === 1 ? "1 image" : `${count} images`;
  return new Promise((resolve) => {
    dialog.returnValue = "";
    dialog.addEventListener("close", () => resolve(dialog.returnValue === "ok"), { once: true });
    dialog.showModal();
  });
}

function status(text, done, total) {
  $("status").hidden = false;
  $("status-text").textContent = text;
  $("progress").max = Math.max(total, 1);
  $("progress").value = done;
}

// Sends one request per file, so the bar moves and one failure does not end the batch.
async function batch(verbing, verbed, paths, work, note = "") {
  busy = true;
  drawTargets();
  $("status-details").replaceChildren();
  const failures = [];
  let done = 0;
  let skipped = 0;
  for (const [i, path] of paths.entries()) {
    status(`${verbing} ${i + 1} of ${paths.length}\u2026`, i, paths.length);
    try {
      if ((await work(path)).length) done += 1;
      else skipped += 1;
    } catch (error) {
      failures.push(`${nameOf(path)}: ${error.message}`);
    }
  }
  let summary = `${verbed} ${done} of ${paths.length} ${paths.length === 1 ? "image" : "images"}`;
  if (skipped) summary += `, ${skipped} skipped`;
  if (failures.length) summary += `, ${failures.length} failed`;
  status(summary + "." + (done && note ? " " + note : ""), paths.length, paths.length);
  $("status").classList.toggle("failed", failures.length > 0);
  $("status-details").replaceChildren(...failures.map((text) => Object.assign(document.createElement("li"), { textContent: text })));
  busy = false;
  selected.clear();
  await render(true);
}

function outputFolder(text) {
  const folder = text.trim().replace(/^\/+|\/+$/g, "");
  return folder && state.dir ? `${state.dir}/${folder}` : folder;
}

function formValues(dialog) {
  return Object.fromEntries(new FormData(dialog.querySelector("form")));
}

const edits = {
  "rotate-left": (paths) => rotate(paths, -90),
  "rotate-right": (paths) => rotate(paths, 90),

  async convert(paths) {
    const dialog = $("convert-dialog");
    if (!(await ask(dialog, paths.length))) return;
    const v = formValues(dialog);
    await batch("Converting", "Converted", paths, (path) => post("/api/convert", {
      paths: [path], format: v.format, quality: Number(v.quality), folder: outputFolder(v.folder),
      on_conflict: v.on_conflict, delete_source: v.delete_source === "on",
    }));
  },

  async resize(paths) {
    const dialog = $("resize-dialog");
    if (!(await ask(dialog, paths.length))) return;
    const v = formValues(dialog);
    const folder = outputFolder(v.folder);
    await batch("Resizing", "Resized", paths, (path) => post("/api/resize", {
      paths: [path], basis: v.basis, value: Number(v.value), width: Number(v.width), height: Number(v.height),
      folder, on_conflict: v.on_conflict,
    }), folder ? `The copies are in /${folder}.` : "");
  },

  async rename(paths) {
    const dialog = $("rename-dialog");
    const form = dialog.querySelector("form");
    let latest = 0;
    const preview = async () => {
      const mine = ++latest;
      const v = formValues(dialog);
      let rows;
      let problem = "";
      try {
        rows = await post("/api/rename-preview", { paths, pattern: v.pattern, shot: v.shot });
      } catch (error) {
        rows = [];
        problem = error.message;
      }
      if (mine !== latest) return;
      $("rename-preview").replaceChildren(...rows.map((row) => {
        const tr = document.createElement("tr");
        if (row.problem) tr.className = "problem";
        tr.append(Object.assign(document.createElement("td"), { textContent: row.old }),
          Object.assign(document.createElement("td"), {
            textContent: row.new + (row.problem ? ` \u2014 ${row.problem}` : ""),
          }));
        return tr;
      }));
      const blocked = rows.find((row) => row.problem);
      $("rename-problem").textContent = problem || (blocked ? `Cannot rename: ${blocked.old} \u2192 ${blocked.problem}.` : "");
      $("rename-go").disabled = !!problem || !!blocked || !v.pattern;
    };
    form.oninput = preview;
    $("rename-preview").replaceChildren();
    $("rename-go").disabled = true;
    const shown = ask(dialog, paths.length);
    await preview();
    if (!(await shown)) return;
    const v = formValues(dialog);
    let renamed = [];
    let text;
    busy = true;
    status(`Renaming ${paths.length} ${paths.length === 1 ? "image" : "images"}\u2026`, 0, 1);
    try {
      renamed = await post("/api/rename", { paths, pattern: v.pattern, shot: v.shot });
      text = `Renamed ${renamed.length} of ${paths.length} ${paths.length === 1 ? "image" : "images"}.`;
    } catch (error) {
      text = `Renaming failed: ${error.message}`;
    }
    $("status-details").replaceChildren();
    $("status").classList.toggle("failed", !renamed.length);
    status(text, 1, 1);
    busy = false;
    selected.clear();
    if (state.open && renamed.length) state.open = renamed[0];
    history.replaceState(null, "", addressOf(state));
    await render(true);
  },

  async delete(paths) {
    const dialog = $("delete-dialog");
    const names = paths.slice(0, 12).map(nameOf);
    if (paths.length > names.length) names.push(`and ${paths.length - names.length} more`);
    $("delete-list").replaceChildren(...names.map((name) => Object.assign(document.createElement("li"), { textContent: name })));
    if (!(await ask(dialog, paths.length))) return;
    // In the image view, the next image takes the deleted one's place.
    const files = listing.files.map((f) => f.path);
    const at = state.open ? files.indexOf(state.open) : -1;
    const after = files.filter((path) => !paths.includes(path));
    await batch("Deleting", "Deleted", paths, (path) => post("/api/delete", { paths: [path] }));
    if (at >= 0 && !listing.files.some((f) => f.path === state.open)) {
      const next = files.slice(at + 1).find((path) => after.includes(path))
        || files.slice(0, at).reverse().find((path) => after.includes(path));
      go({ open: next || null }, false);
    }
  },
};

function rotate(paths, degrees) {
  return batch("Rotating", "Rotated", paths, (path) => post("/api/rotate", { paths: [path], degrees }),
    "The originals are kept in \u201cZEL originals\u201d.");
}

// Wiring

function wire() {
  $("up").addEventListener("click", () => listing && listing.parent !== null && go({ dir: listing.parent, open: null }));
  $("sort").addEventListener("change", (e) => go({ sort: e.target.value }, false));
  $("direction").addEventListener("click", () => go({ desc: !state.desc }, false));
  $("hidden").addEventListener("change", (e) => go({ hidden: e.target.checked }, false));
  $("select-all").addEventListener("click", () => {
    if (listing) for (const f of listing.files) selected.add(f.path);
    drawSelection();
  });
  $("select-none").addEventListener("click", () => {
    selected.clear();
    drawSelection();
  });
  $("grid").addEventListener("click", (event) => {
    const tile = event.target.closest(".tile");
    if (!tile) return;
    const path = tile.dataset.path;
    if (event.target.closest(".pick") || event.ctrlKey || event.metaKey) {
      if (event.target.tagName !== "INPUT" && event.target.closest(".pick")) return; // the label forwards its click
      if (event.target.tagName !== "INPUT") event.preventDefault();
      if (selected.has(path)) selected.delete(path);
      else selected.add(path);
      drawSelection();
    } else if (event.target.closest(".open")) {
      go({ open: path });
    }
  });
  for (const button of document.querySelectorAll("[data-edit]")) {
    button.addEventListener("click", () => {
      const paths = targets();
      if (paths.length && !busy) edits[button.dataset.edit](paths);
    });
  }
  $("status-close").addEventListener("click", () => {
    $("status").hidden = true;
  });
  $("back").addEventListener("click", () => go({ open: null }));
  $("prev").addEventListener("click", () => step(-1));
  $("next").addEventListener("click", () => step(1));
  $("full").addEventListener("click", () => step(1));
  const basis = $("resize-dialog").querySelector("[name=basis]");
  const value = $("resize-dialog").querySelector("[name=value]");
  let lastBasis = basis.value;
  const byBasis = () => {
    // A length in pixels makes no sense as a percentage, nor the other way round.
    if ((basis.value === "percent") !== (lastBasis === "percent")) value.value = basis.value === "percent" ? 50 : 1024;
    lastBasis = basis.value;
    for (const el of $("resize-dialog").querySelectorAll(".by-value")) el.hidden = basis.value === "resolution";
    for (const el of $("resize-dialog").querySelectorAll(".by-resolution")) el.hidden = basis.value !== "resolution";
  };
  basis.addEventListener("change", byBasis);
  byBasis();

  document.addEventListener("keydown", (event) => {
    if (document.querySelector("dialog[open]") || event.target.matches("input, select, textarea")) return;
    if (event.altKey || event.ctrlKey || event.metaKey) return;
    if (state.open) {
      if (event.key === "ArrowLeft") step(-1);
      else if (event.key === "ArrowRight") step(1);
      else if (event.key === "Escape") go({ open: null });
      else return;
      event.preventDefault();
    } else if (event.key === "Backspace" && listing && listing.parent !== null) {
      event.preventDefault();
      go({ dir: listing.parent });
    }
  });
  window.addEventListener("popstate", () => {
    readAddress();
    render();
  });
}

wire();
readAddress();
render();
