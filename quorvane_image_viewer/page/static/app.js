"use strict";

// The page's whole state lives in its address, so any folder or image view can be bookmarked:
// ?dir=Trips&sort=date&desc=1&hidden=1&open=Trips/a.jpg
const token = document.querySelector('meta[name="token"]').content;
const $ = (id) => document.getElementById(id);

// The server's lists (the command line's too); these stand in until it answers.
let choices = {
  sort_keys: ["name"],
  conflict_policies: ["rename"],
  formats: ["jpg"],
  backup_folder: "ZEL originals",
  rename_tokens: [],
};
const LABELS = {
  name: "name", size: "size", date: "file date", taken: "date taken", type: "type",
  rename: "add a number", overwrite: "overwrite", skip: "leave it alone",
  jpg: "JPEG", png: "PNG", webp: "WebP", gif: "GIF", bmp: "BMP", tif: "TIFF", heic: "HEIC", avif: "AVIF",
};

const state = { dir: "", sort: "name", desc: false, hidden: false, open: null, size: "medium" };
const selected = new Set();
let listing = null;
let listingKey = null;
let generation = 0;
let busy = false;
let undoKeys = [];

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

const imageUrl = (file) => "/image?" + query({ path: file.path, v: file.v });

// Addresses and history

function readAddress() {
  const q = new URLSearchParams(location.search);
  state.dir = q.get("dir") || "";
  state.sort = choiceValues("sort_keys").includes(q.get("sort")) ? q.get("sort") : "name";
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
  if ("dir" in changes && changes.dir !== state.dir) {
    selected.clear();
    grid.focus = grid.anchor = -1;
    $("filter").value = "";
  }
  if ("open" in changes && changes.open !== state.open && !changes.open) stopSlideshow();
  Object.assign(state, changes);
  history[push ? "pushState" : "replaceState"](null, "", addressOf(state));
  return render();
}

// Lists the server gives: plain values or [value, label] pairs.
function choiceValues(name) {
  return (choices[name] || []).map((item) => (Array.isArray(item) ? item[0] : item));
}

function fillChoices() {
  for (const select of document.querySelectorAll("select[data-choices]")) {
    const current = select.value;
    select.replaceChildren(...(choices[select.dataset.choices] || []).map((item) => {
      const [value, label] = Array.isArray(item) ? item : [item, LABELS[item] || item];
      return new Option(label, value);
    }));
    if (current) select.value = current;
  }
  $("rename-tokens").replaceChildren(...choices.rename_tokens.flatMap(({ token: tokenText, meaning }) => [
    Object.assign(document.createElement("dt"), { textContent: tokenText }),
    Object.assign(document.createElement("dd"), { textContent: meaning }),
  ]), Object.assign(document.createElement("dd"), { className: "note", textContent: "The file's suffix is kept." }));
}

async function loadChoices() {
  try {
    const given = await getJson("/api/choices");
    choices = { ...choices, ...given };
  } catch (e) { /* the lists above stand */ }
  fillChoices();
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
      drawMissingFolder(error.message);
      return;
    }
    if (mine !== generation) return;
    listing = fresh;
    listingKey = key;
    const present = new Set(listing.files.map((f) => f.path));
    for (const path of [...selected]) if (!present.has(path)) selected.delete(path);
    drawFolder();
  }
  drawControls();
  if (state.open) await drawImage(mine);
  else drawBrowser();
}

function drawControls() {
  $("sort").value = state.sort;
  $("tile-size").value = state.size;
  $("direction").textContent = state.desc ? "\u2193 descending" : "\u2191 ascending";
  $("direction").title = state.desc ? "Descending; click for ascending" : "Ascending; click for descending";
  $("hidden").checked = state.hidden;
  drawTargets();
}

// The folder the address names is not there: say which, and offer the way back.
function drawMissingFolder(problem) {
  const parts = state.dir ? state.dir.split("/") : [];
  drawCrumbs([{ name: "Top folder", path: "" }, ...parts.map((part, i) => ({ name: part, path: parts.slice(0, i + 1).join("/") }))]);
  $("folders").replaceChildren();
  setFiles([]);
  const missing = /^not found/.test(problem);
  showMessage(missing ? `The folder \u201c${state.dir}\u201d is not there any more (moved, renamed or deleted).`
    : `The folder \u201c${state.dir || "/"}\u201d cannot be shown: ${problem}`,
  [["Back to the top folder", { dir: "" }], ...(parts.length > 1 ? [["Up to " + parts[parts.length - 2], { dir: parentOf(state.dir) }]] : [])]);
  drawBrowser();
}

function showMessage(text, ways = []) {
  const message = $("message");
  message.replaceChildren();
  if (text) {
    message.append(Object.assign(document.createElement("p"), { textContent: text }));
    for (const [label, changes] of ways) message.append(link(label, changes, "way-back"));
  }
  message.hidden = !text;
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

function drawCrumbs(crumbList) {
  const parts = [];
  crumbList.forEach((crumb, i) => {
    if (i) parts.push(Object.assign(document.createElement("span"), { className: "sep", textContent: "/" }));
    parts.push(i === crumbList.length - 1 ? Object.assign(document.createElement("span"), { textContent: crumb.name })
      : link(crumb.name, { dir: crumb.path }));
  });
  $("crumbs").replaceChildren(...parts);
}

function drawFolder() {
  drawCrumbs(listing.crumbs);
  $("up").disabled = listing.parent === null;
  $("folders").replaceChildren(...listing.folders.map((folder) => {
    const tile = link("", { dir: folder.path }, "tile folder");
    tile.title = folder.name;
    const icon = Object.assign(document.createElement("span"), { className: "folder-icon" });
    const name = Object.assign(document.createElement("span"), { className: "name", textContent: folder.name });
    tile.replaceChildren(icon, name);
    if (folder.name === choices.backup_folder) {
      // Where it first shows, say what it is.
      tile.classList.add("backup");
      tile.title = `${folder.name}: the originals of photos you rotated here, kept in case you want them back`;
      tile.append(Object.assign(document.createElement("span"), { className: "about", textContent: "originals kept when rotating" }));
    }
    return tile;
  }));
  applyFilter();
}

function applyFilter() {
  if (!listing) return;
  const words = $("filter").value.trim().toLowerCase();
  const files = words ? listing.files.filter((f) => f.name.toLowerCase().includes(words)) : listing.files;
  setFiles(files);
  if (!listing.folders.length && !listing.files.length) showMessage("No images or folders here.", listing.parent === null ? [] : [["Up one folder", { dir: listing.parent }]]);
  else if (words && !files.length) showMessage(`No image names contain \u201c${$("filter").value.trim()}\u201d.`);
  else showMessage("");
  drawSelection();
}

function targets() {
  if (state.open) return listing && listing.files.some((f) => f.path === state.open) ? [state.open] : [];
  // Asked on every scrolled frame: a folder of 100,000 with nothing ticked need not be walked.
  if (!listing || !selected.size) return [];
  return grid.files.filter((f) => selected.has(f.path)).map((f) => f.path);
}

function drawTargets() {
  const count = targets().length;
  const total = grid.files.length;
  $("target-label").textContent = state.open ? nameOf(state.open)
    : count ? `${count} of ${total} images selected`
      : listing ? `${total} ${total === 1 ? "image" : "images"}` : "";
  for (const button of document.querySelectorAll("[data-edit]")) button.disabled = busy || !count;
  $("select-none").disabled = !selected.size;
  for (const el of document.querySelectorAll(".grid-only")) el.hidden = !!state.open || !grid.files.length;
}

function drawBrowser() {
  if (document.fullscreenElement) document.exitFullscreen().catch(() => {});
  $("viewer").hidden = true;
  $("browser").hidden = false;
  $("full").removeAttribute("src");
  delete $("full").dataset.src;
  document.title = `${listing ? listing.crumbs[listing.crumbs.length - 1].name : "Folder"} \u2014 Image viewer`;
  drawTargets();
  layout();
  // Back from an image, the grid shows the one last looked at.
  if (grid.focus >= 0) scrollToIndex(grid.focus);
}

// The images next/previous walk: those the grid shows, or the whole folder when the filter hides this one.
function viewed() {
  if (!listing) return [];
  return grid.files.some((f) => f.path === state.open) ? grid.files : listing.files;
}

async function drawImage(mine) {
  const files = viewed();
  const at = files.findIndex((f) => f.path === state.open);
  if (at < 0) {
    const missing = state.open;
    await go({ open: null }, false);
    showMessage(`The image \u201c${nameOf(missing)}\u201d is not in this folder any more (moved, renamed or deleted).`,
      [["Show the folder", { dir: state.dir }]]);
    return;
  }
  const file = files[at];
  if (files === grid.files) grid.focus = grid.anchor = at;
  $("browser").hidden = true;
  $("viewer").hidden = false;
  showPicture(file);
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
    $("info-list").replaceChildren(...rows([["Problem", error.message], ["File size", size(file.size)]]));
    return;
  }
  if (mine !== generation) return;
  $("info-pixels").textContent = `${info.width} \u00d7 ${info.height} pixels`;
  document.title = `${info.name} (${info.width} \u00d7 ${info.height}) \u2014 Image viewer`;
  // The server formats the lines as the command line's info prints them.
  $("info-list").replaceChildren(...rows([...info.fields, ["Folder", "/" + parentOf(info.path)]]));
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

function step(by) {
  const files = viewed();
  const at = files.findIndex((f) => f.path === state.open) + by;
  if (at >= 0 && at < files.length) go({ open: files[at].path }, false);
}

// Edits

function ask(dialog, count) {
  for (const el of dialog.querySelectorAll(".count")) el.textContent = count === 1 ? "1 image" : `${count} images`;
  // An earlier opening whose close event is still on its way is answered now, with its own answer:
  // otherwise it would wait on and take this opening's answer, and a cancelled edit would run.
  if (dialog.pending) dialog.pending(dialog.returnValue);
  return new Promise((resolve) => {
    dialog.returnValue = "";
    const finish = (answer) => {
      dialog.removeEventListener("close", closed);
      dialog.pending = null;
      resolve(answer);
    };
    const closed = () => {
      if (!dialog.open) finish(dialog.returnValue);
    };
    dialog.pending = finish;
    dialog.addEventListener("close", closed);
    dialog.showModal();
  });
}

function status(text, done, total) {
  $("status").hidden = false;
  $("status-text").textContent = text;
  $("progress").max = Math.max(total, 1);
  $("progress").value = done;
  $("status-undo").hidden = true;
}

// Sends one request per file, so the bar moves and one failure does not end the batch.
// `work` answers with the names it wrote, or {written, left} when it may leave an image as it was.
async function batch(verbing, verbed, paths, work, note = "", where = "") {
  busy = true;
  drawTargets();
  $("status-details").replaceChildren();
  const failures = [];
  let done = 0;
  let skipped = 0;
  let left = 0;
  for (const [i, path] of paths.entries()) {
    status(`${verbing} ${i + 1} of ${paths.length}\u2026`, i, paths.length);
    try {
      const result = await work(path);
      const written = Array.isArray(result) ? result : result.written || result.paths || [];
      if (written.length) done += 1;
      else if (result.left && result.left.length) left += 1;
      else skipped += 1;
    } catch (error) {
      failures.push(`${nameOf(path)}: ${error.message}`);
    }
  }
  let summary = `${verbed} ${done} of ${paths.length} ${paths.length === 1 ? "image" : "images"}${where}`;
  if (left) summary += `, ${left} left as ${left === 1 ? "it was" : "they were"} (already small enough)`;
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
    if ((await ask(dialog, paths.length)) !== "ok") return;
    const v = formValues(dialog);
    await batch("Converting", "Converted", paths, (path) => post("/api/convert", {
      paths: [path], format: v.format, quality: Number(v.quality), folder: outputFolder(v.folder),
      on_conflict: v.on_conflict, delete_source: v.delete_source === "on",
    }));
  },

  async resize(paths) {
    const dialog = $("resize-dialog");
    if ((await ask(dialog, paths.length)) !== "ok") return;
    const v = formValues(dialog);
    const folder = outputFolder(v.folder);
    await batch("Resizing", "Resized", paths, (path) => post("/api/resize", {
      paths: [path], basis: v.basis, value: Number(v.value), width: Number(v.width), height: Number(v.height),
      folder, on_conflict: v.on_conflict, only_shrink: v.only_shrink === "on",
    }), folder ? `The copies are in /${folder}.` : "");
  },

  async rename(paths) {
    const dialog = $("rename-dialog");
    const form = dialog.querySelector("form");
    let latest = 0;
    const preview = async () => {
      const mine = ++latest;
      const v = formValues(dialog);
      let found;
      let problem = "";
      try {
        found = await post("/api/rename-preview", { paths, pattern: v.pattern });
      } catch (error) {
        found = [];
        problem = error.message;
      }
      if (mine !== latest) return;
      $("rename-preview").replaceChildren(...found.map((row) => {
        const tr = document.createElement("tr");
        if (row.problem) tr.className = "problem";
        tr.append(Object.assign(document.createElement("td"), { textContent: row.old }),
          Object.assign(document.createElement("td"), {
            textContent: row.new + (row.problem ? ` \u2014 ${row.problem}` : ""),
          }));
        return tr;
      }));
      const blocked = found.find((row) => row.problem);
      $("rename-problem").textContent = problem || (blocked ? `Cannot rename: ${blocked.old} \u2192 ${blocked.problem}.` : "");
      $("rename-go").disabled = !!problem || !!blocked || !v.pattern;
    };
    form.oninput = preview;
    $("rename-preview").replaceChildren();
    $("rename-go").disabled = true;
    const shown = ask(dialog, paths.length);
    await preview();
    if ((await shown) !== "ok") return;
    const v = formValues(dialog);
    let renamed = [];
    let text;
    busy = true;
    status(`Renaming ${paths.length} ${paths.length === 1 ? "image" : "images"}\u2026`, 0, 1);
    try {
      renamed = await post("/api/rename", { paths, pattern: v.pattern });
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
    let choice = await ask(dialog, paths.length);
    if (choice === "permanent") {
      const sure = confirm(`Delete ${paths.length === 1 ? nameOf(paths[0]) : paths.length + " images"} permanently? ` +
        "They are removed from the disk at once and cannot be brought back.");
      if (!sure) return;
    } else if (choice !== "ok") return;
    // In the image view, the next image takes the removed one's place.
    const files = viewed().map((f) => f.path);
    const at = state.open ? files.indexOf(state.open) : -1;
    const after = files.filter((path) => !paths.includes(path));
    const keys = [];
    if (choice === "permanent") {
      await batch("Deleting", "Deleted", paths, (path) => post("/api/delete", { paths: [path] }), "", " for good");
    } else {
      await batch("Moving to the trash", "Moved", paths, async (path) => {
        const moved = await post("/api/trash", { paths: [path] });
        if (moved.paths.length) keys.push(moved.undo);
        return moved.paths;
      }, "", " to the trash");
      if (keys.length) offerUndo(keys);
    }
    if (at >= 0 && !listing.files.some((f) => f.path === state.open)) {
      const next = files.slice(at + 1).find((path) => after.includes(path))
        || files.slice(0, at).reverse().find((path) => after.includes(path));
      go({ open: next || null }, false);
    }
  },
};

function offerUndo(keys) {
  undoKeys = keys;
  $("status-undo").hidden = false;
}

async function undoTrash() {
  const keys = undoKeys;
  undoKeys = [];
  $("status-undo").hidden = true;
  let result;
  try {
    result = await post("/api/restore", { undo: keys });
  } catch (error) {
    status(`Undo failed: ${error.message}`, 1, 1);
    $("status").classList.add("failed");
    return;
  }
  const back = result.paths.length;
  status(`Put back ${back} ${back === 1 ? "image" : "images"}` +
    (result.refused.length ? `; ${result.refused.length} could not be put back.` : "."), 1, 1);
  $("status").classList.toggle("failed", result.refused.length > 0);
  $("status-details").replaceChildren(...result.refused.map((item) =>
    Object.assign(document.createElement("li"), { textContent: `${item.path}: ${item.error}` })));
  await render(true);
}

function rotate(paths, degrees) {
  return batch("Rotating", "Rotated", paths, (path) => post("/api/rotate", { paths: [path], degrees }),
    `The originals are kept in the folder \u201c${choices.backup_folder}\u201d beside them.`);
}

function startEdit(name) {
  const paths = targets();
  if (paths.length && !busy && !document.querySelector("dialog[open]")) edits[name](paths);
}

// Wiring

function wireMenus() {
  for (const toggle of document.querySelectorAll(".menu-toggle")) {
    const menu = $(toggle.getAttribute("aria-controls"));
    toggle.addEventListener("click", (event) => {
      event.stopPropagation();
      const open = !menu.classList.contains("open");
      for (const other of document.querySelectorAll(".collapsible.open")) other.classList.remove("open");
      menu.classList.toggle("open", open);
      toggle.setAttribute("aria-expanded", String(open));
    });
  }
  // A narrow window's menu closes once a choice is made or the click lands elsewhere.
  document.addEventListener("click", (event) => {
    for (const menu of document.querySelectorAll(".collapsible.open")) {
      if (!menu.contains(event.target) || event.target.closest("button")) {
        menu.classList.remove("open");
        document.querySelector(`[aria-controls="${menu.id}"]`).setAttribute("aria-expanded", "false");
      }
    }
  });
}

function wire() {
  $("up").addEventListener("click", () => listing && listing.parent !== null && go({ dir: listing.parent, open: null }));
  $("sort").addEventListener("change", (e) => go({ sort: e.target.value }, false));
  $("direction").addEventListener("click", () => go({ desc: !state.desc }, false));
  $("hidden").addEventListener("change", (e) => go({ hidden: e.target.checked }, false));
  $("tile-size").addEventListener("change", (e) => {
    state.size = e.target.value;
    localStorage.setItem("tile-size", state.size);
    layout();
  });
  $("filter").addEventListener("input", () => {
    grid.focus = grid.anchor = -1;
    applyFilter();
  });
  $("select-all").addEventListener("click", () => {
    for (const f of grid.files) selected.add(f.path);
    drawSelection();
  });
  $("select-none").addEventListener("click", () => {
    selected.clear();
    drawSelection();
  });
  $("grid").addEventListener("click", gridClick);
  $("browser").addEventListener("scroll", scheduleDraw, { passive: true });
  new ResizeObserver(() => !$("browser").hidden && layout()).observe($("browser"));
  for (const button of document.querySelectorAll("[data-edit]")) {
    button.addEventListener("click", () => startEdit(button.dataset.edit));
  }
  $("status-close").addEventListener("click", () => {
    $("status").hidden = true;
  });
  $("status-undo").addEventListener("click", undoTrash);
  $("back").addEventListener("click", () => go({ open: null }));
  $("prev").addEventListener("click", () => step(-1));
  $("next").addEventListener("click", () => step(1));
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
  wireMenus();
  wireViewer();

  document.addEventListener("keydown", (event) => {
    if (document.querySelector("dialog[open]") || event.target.matches("input:not([type=checkbox]), select, textarea")) {
      if (event.key === "Escape" && event.target.id === "filter") event.target.blur();
      return;
    }
    let used;
    if (state.open) used = viewerKey(event);
    else if (event.key === "Backspace" && !event.ctrlKey && !event.metaKey && listing && listing.parent !== null) {
      go({ dir: listing.parent });
      used = true;
    } else used = gridKey(event);
    if (used) event.preventDefault();
  });
  window.addEventListener("popstate", () => {
    readAddress();
    render();
  });
}

state.size = TILE_SIZES[localStorage.getItem("tile-size")] ? localStorage.getItem("tile-size") : "medium";
fillChoices();
wire();
readAddress();
loadChoices().then(() => {
  readAddress();
  render();
});
