"use strict";

// The grid of thumbnails. Only the tiles near the screen exist (a folder may hold 100,000 images), and
// only what is on screen is asked for, the screen the user stopped on first; what scrolls away is
// cancelled, which also takes it off the server's queue.

const TILE_SIZES = {
  // Narrowest tile and the thumbnail's long edge; phones get narrower tiles so several fit in a row.
  small: { wide: 110, narrow: 76, edge: 160 },
  medium: { wide: 170, narrow: 110, edge: 256 },
  large: { wide: 250, narrow: 170, edge: 400 },
};
const GAP = 12;
const CAPTION = 30;
const LOADS_AT_ONCE = 6;
const SETTLE_MS = 60;
const KEPT_PICTURES = 800;

const grid = {
  files: [],       // the listing's files that pass the filter, in order
  columns: 1,
  tileWidth: 0,
  rowHeight: 0,
  tiles: new Map(),  // index -> tile element, only those near the screen
  focus: -1,
  anchor: -1,
  screen: 0,
  settle: 0,
  drawing: 0,
};

// Pictures already fetched, by address: tiles made again show them at once.
const pictures = new Map();
// Fetches in flight, by address.
const loading = new Map();

function tileSize() {
  const size = TILE_SIZES[state.size] || TILE_SIZES.medium;
  return { min: innerWidth < 600 ? size.narrow : size.wide, edge: size.edge };
}

function thumbAddress(file) {
  return "/thumb?" + query({ path: file.path, v: file.v, size: tileSize().edge });
}

const previewAddress = (file) => "/preview?" + query({ path: file.path, v: file.v });

function setFiles(files) {
  grid.files = files;
  for (const tile of grid.tiles.values()) tile.remove();
  grid.tiles.clear();
  if (grid.focus >= files.length) grid.focus = files.length - 1;
  layout();
}

function layout() {
  const area = $("grid");
  const width = area.clientWidth || $("browser").clientWidth - 32;
  const { min } = tileSize();
  grid.columns = Math.max(1, Math.floor((width + GAP) / (min + GAP)));
  grid.tileWidth = Math.floor((width - GAP * (grid.columns - 1)) / grid.columns);
  grid.rowHeight = grid.tileWidth + CAPTION + GAP;
  const rows = Math.ceil(grid.files.length / grid.columns);
  area.style.height = `${Math.max(0, rows * grid.rowHeight - GAP)}px`;
  for (const tile of grid.tiles.values()) tile.remove();
  grid.tiles.clear();
  drawTiles();
}

// The rows in view, and a screen's worth either side that is built but not yet loaded.
function rowsInView() {
  const scroller = $("browser");
  const top = scroller.scrollTop - $("grid").offsetTop;
  const first = Math.max(0, Math.floor(top / grid.rowHeight));
  const last = Math.max(first, Math.floor((top + scroller.clientHeight) / grid.rowHeight));
  const margin = Math.ceil(scroller.clientHeight / grid.rowHeight);
  return { first, last, from: Math.max(0, first - margin), to: last + margin };
}

function scheduleDraw() {
  if (!grid.drawing) grid.drawing = requestAnimationFrame(() => {
    grid.drawing = 0;
    drawTiles();
  });
}

function drawTiles() {
  if (!grid.rowHeight) return;
  const { from, to } = rowsInView();
  const start = from * grid.columns;
  const end = Math.min(grid.files.length, (to + 1) * grid.columns);
  for (const [index, tile] of grid.tiles) {
    if (index < start || index >= end || tile.file !== grid.files[index]) {
      tile.remove();
      grid.tiles.delete(index);
    }
  }
  const fresh = document.createDocumentFragment();
  for (let index = start; index < end; index += 1) {
    if (!grid.tiles.has(index)) {
      const tile = makeTile(grid.files[index], index);
      grid.tiles.set(index, tile);
      fresh.append(tile);
    }
  }
  $("grid").append(fresh);
  drawSelection();
  // Loading waits until the scroll rests a moment: tiles flown past are never asked for.
  clearTimeout(grid.settle);
  grid.settle = setTimeout(loadVisible, SETTLE_MS);
  cancelUnwanted(start, end);
}

function makeTile(file, index) {
  const tile = document.createElement("figure");
  tile.className = "tile image";
  tile.file = file;
  tile.dataset.path = file.path;
  tile.dataset.index = index;
  tile.setAttribute("role", "option");
  const row = Math.floor(index / grid.columns);
  const column = index % grid.columns;
  tile.style.cssText = `left:${column * (grid.tileWidth + GAP)}px;top:${row * grid.rowHeight}px;` +
    `width:${grid.tileWidth}px;height:${grid.tileWidth + CAPTION}px`;
  const open = document.createElement("button");
  open.className = "open";
  open.tabIndex = -1;
  open.title = `${file.name} (${size(file.size)})`;
  open.style.height = `${grid.tileWidth}px`;
  const img = document.createElement("img");
  img.className = "thumb";
  img.alt = file.name;
  img.draggable = false;
  const thumb = pictures.get(thumbAddress(file));
  const shown = thumb && thumb.url ? thumb : pictures.get(previewAddress(file));
  if (shown && shown.url) img.src = shown.url;
  if (shown && shown.full) tile.classList.add("loaded");
  open.append(img);
  const pick = document.createElement("label");
  pick.className = "pick";
  pick.title = "Select (Space)";
  const box = document.createElement("input");
  box.type = "checkbox";
  box.tabIndex = -1;
  box.setAttribute("aria-label", `Select ${file.name}`);
  pick.append(box);
  const caption = Object.assign(document.createElement("figcaption"), { textContent: file.name });
  tile.append(open, pick, caption);
  if (thumb && thumb.broken) markBroken(tile, thumb.broken);
  return tile;
}

function markBroken(tile, problem) {
  tile.classList.add("broken");
  tile.querySelector(".open").dataset.problem = problem;
  tile.title = `Cannot show ${tile.file.name}: ${problem}`;
}

// Asks for the pictures of the tiles on screen, in reading order, then of those a screen away.
function loadVisible() {
  grid.screen += 1;
  const { first, last, from, to } = rowsInView();
  const wanted = [];
  const add = (rowFrom, rowTo) => {
    for (let index = rowFrom * grid.columns; index < Math.min(grid.files.length, (rowTo + 1) * grid.columns); index += 1) {
      const tile = grid.tiles.get(index);
      if (tile && !tile.classList.contains("loaded") && !tile.classList.contains("broken")) wanted.push(tile);
    }
  };
  add(first, last);
  add(last + 1, to);
  add(from, first - 1);
  grid.wanted = wanted;
  grid.rank = 0;
  pump();
}

function pump() {
  while (loading.size < LOADS_AT_ONCE && grid.wanted && grid.wanted.length) {
    const tile = grid.wanted.shift();
    if (tile.isConnected && !tile.classList.contains("loaded")) load(tile, grid.rank++);
  }
}

async function load(tile, rank) {
  const file = tile.file;
  const thumb = thumbAddress(file);
  if (loading.has(thumb)) return;
  const controller = new AbortController();
  const job = { controller, tile };
  loading.set(thumb, job);
  try {
    if (listing && listing.previews && !pictures.has(previewAddress(file))) {
      const preview = await fetchPicture(previewAddress(file), { signal: controller.signal });
      remember(previewAddress(file), preview ? { url: preview } : { none: true });
      if (preview && !tile.classList.contains("loaded")) tile.querySelector("img.thumb").src = preview;
    }
    // Which screen and where on it, for the server's queue; headers keep the address the browser caches.
    const url = await fetchPicture(thumb, {
      signal: controller.signal, headers: { "X-Screen": grid.screen, "X-Rank": rank },
    });
    if (url) {
      remember(thumb, { url, full: true });
      const img = job.tile.querySelector("img.thumb");
      img.src = url;
      job.tile.classList.add("loaded");
    }
  } catch (error) {
    if (error.name !== "AbortError") {
      remember(thumb, { broken: error.message });
      markBroken(job.tile, error.message);
    }
  } finally {
    if (loading.get(thumb) === job) loading.delete(thumb);
    pump();
  }
}

// The picture at `address` as an object URL, or null when the server has none (404 of a preview).
async function fetchPicture(address, options) {
  const response = await fetch(address, options);
  if (response.status === 404 && address.startsWith("/preview")) return null;
  if (!response.ok) {
    let message = `${response.status} ${response.statusText}`;
    try {
      message = (await response.json()).error || message;
    } catch (e) { /* not JSON */ }
    throw new Error(message);
  }
  return URL.createObjectURL(await response.blob());
}

function remember(address, picture) {
  pictures.delete(address);
  pictures.set(address, picture);
  // The oldest pictures go first; a tile still showing one keeps its decoded copy.
  while (pictures.size > KEPT_PICTURES) {
    const [oldest, old] = pictures.entries().next().value;
    pictures.delete(oldest);
    if (old.url) setTimeout(() => URL.revokeObjectURL(old.url), 1000);
  }
}

// Cancels the fetches of tiles no longer near the screen.
function cancelUnwanted(start, end) {
  for (const [address, job] of loading) {
    const index = Number(job.tile.dataset.index);
    if (!job.tile.isConnected || index < start || index >= end) {
      job.controller.abort();
      loading.delete(address);
    }
  }
  if (grid.wanted) grid.wanted = grid.wanted.filter((tile) => tile.isConnected);
}

// Selection and focus

function drawSelection() {
  for (const [index, tile] of grid.tiles) {
    const on = selected.has(tile.file.path);
    tile.classList.toggle("selected", on);
    tile.classList.toggle("focused", index === grid.focus);
    tile.setAttribute("aria-selected", on ? "true" : "false");
    tile.querySelector("input").checked = on;
  }
  drawTargets();
}

function setFocus(index, extend = false) {
  if (!grid.files.length) return;
  index = Math.max(0, Math.min(grid.files.length - 1, index));
  if (extend) {
    if (grid.anchor < 0) grid.anchor = grid.focus < 0 ? index : grid.focus;
    selectRange(grid.anchor, index);
  } else {
    grid.anchor = index;
  }
  grid.focus = index;
  scrollToIndex(index);
  drawSelection();
}

function selectRange(from, to) {
  const [a, b] = from < to ? [from, to] : [to, from];
  for (let i = a; i <= b; i += 1) selected.add(grid.files[i].path);
}

function scrollToIndex(index) {
  const scroller = $("browser");
  const top = $("grid").offsetTop + Math.floor(index / grid.columns) * grid.rowHeight;
  if (top < scroller.scrollTop) scroller.scrollTop = top - GAP;
  else if (top + grid.rowHeight > scroller.scrollTop + scroller.clientHeight) {
    scroller.scrollTop = top + grid.rowHeight - scroller.clientHeight;
  }
  scheduleDraw();
}

function toggle(path) {
  if (selected.has(path)) selected.delete(path);
  else selected.add(path);
}

function gridClick(event) {
  const tile = event.target.closest(".tile");
  if (!tile) return;
  const index = Number(tile.dataset.index);
  const path = tile.file.path;
  const onBox = event.target.closest(".pick");
  if (onBox && event.target.tagName !== "INPUT") return; // the label forwards its click to the box
  if (event.shiftKey) {
    event.preventDefault();
    selectRange(grid.anchor < 0 ? index : grid.anchor, index);
    grid.focus = index;
  } else if (onBox || event.ctrlKey || event.metaKey) {
    if (!onBox) event.preventDefault();
    // The page's keys, not the box's own, go on working the grid.
    $("browser").focus({ preventScroll: true });
    toggle(path);
    grid.focus = grid.anchor = index;
  } else if (event.target.closest(".open")) {
    grid.focus = grid.anchor = index;
    go({ open: path });
    return;
  }
  drawSelection();
}

// Keys of the grid; returns whether the key was one of them.
function gridKey(event) {
  const files = grid.files;
  const modifier = event.ctrlKey || event.metaKey;
  if (modifier && event.key.toLowerCase() === "a") {
    for (const f of files) selected.add(f.path);
    drawSelection();
    return true;
  }
  if (modifier || event.altKey) return false;
  const moves = { ArrowLeft: -1, ArrowRight: 1, ArrowUp: -grid.columns, ArrowDown: grid.columns,
    Home: -Infinity, End: Infinity, PageUp: -grid.columns * 4, PageDown: grid.columns * 4 };
  if (event.key in moves) {
    // With no focus yet, the first key lands on the first image (End on the last).
    const to = grid.focus < 0 ? (event.key === "End" ? files.length - 1 : 0)
      : Math.max(0, Math.min(files.length - 1, grid.focus + moves[event.key]));
    setFocus(to, event.shiftKey);
    return true;
  }
  const focused = files[grid.focus];
  if (event.key === "Enter" && focused) go({ open: focused.path });
  else if (event.key === " " && focused) {
    toggle(focused.path);
    grid.anchor = grid.focus;
    drawSelection();
  } else if (event.key === "Escape" && selected.size) {
    selected.clear();
    drawSelection();
  } else if (event.key === "Delete" && targets().length) startEdit("delete");
  else return false;
  return true;
}
