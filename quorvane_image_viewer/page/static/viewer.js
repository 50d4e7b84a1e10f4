"use strict";

// The image view: fit to the window or any zoom around the pointer, panning, full screen, a slideshow.
// Scale 1 is one image pixel to one CSS pixel ("100 %"); fitting never enlarges a small image.

const MAX_ZOOM = 16;
const view = { scale: 1, x: 0, y: 0, fit: true, width: 0, height: 0 };
const pointers = new Map();
let pinch = null;
let drag = null;
let slideshow = 0;

function fitScale() {
  const stage = $("stage");
  if (!view.width || !view.height) return 1;
  return Math.min(1, stage.clientWidth / view.width, stage.clientHeight / view.height);
}

function applyView() {
  const stage = $("stage");
  const w = view.width * view.scale;
  const h = view.height * view.scale;
  // Smaller than the stage on an axis: centred; larger: no empty margin may open on that axis.
  view.x = w <= stage.clientWidth ? (stage.clientWidth - w) / 2 : Math.min(0, Math.max(stage.clientWidth - w, view.x));
  view.y = h <= stage.clientHeight ? (stage.clientHeight - h) / 2 : Math.min(0, Math.max(stage.clientHeight - h, view.y));
  const full = $("full");
  full.style.width = `${view.width}px`;
  full.style.height = `${view.height}px`;
  full.style.transform = `translate(${view.x}px, ${view.y}px) scale(${view.scale})`;
  stage.classList.toggle("zoomed", w > stage.clientWidth + 0.5 || h > stage.clientHeight + 0.5);
  $("zoom-level").textContent = view.fit ? "Fit" : `${Math.round(view.scale * 100)} %`;
  $("zoom-level").title = view.fit ? `Fitted at ${Math.round(view.scale * 100)} %; click for 100 % (1)`
    : "Click to fit to the window (0)";
}

function fitView() {
  view.fit = true;
  view.scale = fitScale();
  applyView();
}

// Zooms to `scale`, keeping the image point under (px, py) of the stage where it is.
function zoomTo(scale, px, py) {
  const stage = $("stage");
  if (px === undefined) [px, py] = [stage.clientWidth / 2, stage.clientHeight / 2];
  scale = Math.max(Math.min(fitScale(), 1), Math.min(MAX_ZOOM, scale));
  view.x = px - (px - view.x) * (scale / view.scale);
  view.y = py - (py - view.y) * (scale / view.scale);
  view.scale = scale;
  view.fit = Math.abs(scale - fitScale()) < 1e-6;
  applyView();
}

function zoomBy(factor, px, py) {
  zoomTo(view.scale * factor, px, py);
}

function toggleZoom(px, py) {
  if (view.fit && fitScale() < 1) zoomTo(1, px, py);
  else fitView();
}

function stagePoint(event) {
  const box = $("stage").getBoundingClientRect();
  return [event.clientX - box.left, event.clientY - box.top];
}

function showPicture(file) {
  const full = $("full");
  const address = imageUrl(file);
  if (full.dataset.src === address) return;
  full.dataset.src = address;
  full.alt = file.name;
  $("broken").hidden = true;
  full.hidden = false;
  view.width = 0;
  full.style.transform = "scale(0)";
  full.src = address;
}

async function pictureFailed() {
  const full = $("full");
  if (!full.dataset.src) return;
  let problem = "the file could not be read as an image";
  try {
    const response = await fetch(full.dataset.src);
    if (!response.ok) problem = (await response.json()).error || problem;
    else problem = "the browser cannot decode this file";
  } catch (e) { /* keep the general words */ }
  full.hidden = true;
  $("broken").hidden = false;
  $("broken").textContent = `Cannot show ${full.alt}: ${problem}`;
}

function pictureLoaded() {
  const full = $("full");
  view.width = full.naturalWidth;
  view.height = full.naturalHeight;
  fitView();
}

// Slideshow

function startSlideshow() {
  stopSlideshow();
  slideshow = setInterval(() => {
    const files = grid.files;
    const at = files.findIndex((f) => f.path === state.open);
    if (files.length) go({ open: files[(at + 1) % files.length].path }, false);
  }, Number($("interval").value) * 1000);
  $("play").textContent = "\u275A\u275A";
  $("play").title = "Pause the slideshow (Space)";
  $("viewer").classList.add("playing");
}

function stopSlideshow() {
  if (!slideshow) return;
  clearInterval(slideshow);
  slideshow = 0;
  $("play").textContent = "\u25B6";
  $("play").title = "Slideshow (Space)";
  $("viewer").classList.remove("playing");
}

const toggleSlideshow = () => (slideshow ? stopSlideshow() : startSlideshow());

function toggleFullscreen() {
  if (document.fullscreenElement) document.exitFullscreen();
  else $("viewer").requestFullscreen().catch(() => {});
}

// Keys of the image view; returns whether the key was one of them.
function viewerKey(event) {
  if (event.ctrlKey || event.metaKey || event.altKey) return false;
  const key = event.key;
  if (key === "ArrowLeft") step(-1);
  else if (key === "ArrowRight") step(1);
  else if (key === "+" || key === "=") zoomBy(1.25);
  else if (key === "-" || key === "_") zoomBy(1 / 1.25);
  else if (key === "0") fitView();
  else if (key === "1") zoomTo(1);
  else if (key === "f" || key === "F") toggleFullscreen();
  else if (key === " ") toggleSlideshow();
  else if (key === "Delete") startEdit("delete");
  else if (key === "Escape") {
    stopSlideshow();
    go({ open: null });
  } else return false;
  return true;
}

function wireViewer() {
  const stage = $("stage");
  const full = $("full");
  full.addEventListener("load", pictureLoaded);
  full.addEventListener("error", pictureFailed);
  new ResizeObserver(() => (view.fit ? fitView() : applyView())).observe(stage);

  stage.addEventListener("wheel", (event) => {
    if (!view.width) return;
    event.preventDefault();
    // A pinch on a touchpad arrives as a wheel with Ctrl held, in finer steps.
    const speed = event.ctrlKey ? 0.01 : 0.0015;
    const [px, py] = stagePoint(event);
    zoomBy(Math.exp(-event.deltaY * speed), px, py);
  }, { passive: false });

  stage.addEventListener("dblclick", (event) => {
    if (event.target.closest("button, select") || !view.width) return;
    toggleZoom(...stagePoint(event));
  });

  stage.addEventListener("pointerdown", (event) => {
    if (event.target !== full && event.target !== stage) return;
    pointers.set(event.pointerId, stagePoint(event));
    stage.setPointerCapture(event.pointerId);
    if (pointers.size === 2) {
      const [a, b] = [...pointers.values()];
      pinch = { distance: Math.hypot(a[0] - b[0], a[1] - b[1]), scale: view.scale };
      drag = null;
    } else if (pointers.size === 1) {
      drag = { x: event.clientX, y: event.clientY, vx: view.x, vy: view.y };
    }
  });
  stage.addEventListener("pointermove", (event) => {
    if (!pointers.has(event.pointerId)) return;
    pointers.set(event.pointerId, stagePoint(event));
    if (pinch && pointers.size === 2) {
      const [a, b] = [...pointers.values()];
      const ratio = Math.hypot(a[0] - b[0], a[1] - b[1]) / pinch.distance;
      zoomTo(pinch.scale * ratio, (a[0] + b[0]) / 2, (a[1] + b[1]) / 2);
    } else if (drag) {
      view.x = drag.vx + event.clientX - drag.x;
      view.y = drag.vy + event.clientY - drag.y;
      applyView();
    }
  });
  const release = (event) => {
    pointers.delete(event.pointerId);
    if (pointers.size < 2) pinch = null;
    if (!pointers.size) drag = null;
  };
  stage.addEventListener("pointerup", release);
  stage.addEventListener("pointercancel", release);

  $("zoom-in").addEventListener("click", () => zoomBy(1.25));
  $("zoom-out").addEventListener("click", () => zoomBy(1 / 1.25));
  $("zoom-level").addEventListener("click", () => toggleZoom());
  $("fullscreen").addEventListener("click", toggleFullscreen);
  $("play").addEventListener("click", toggleSlideshow);
  $("interval").addEventListener("change", () => slideshow && startSlideshow());
  document.addEventListener("fullscreenchange", () => {
    $("fullscreen").classList.toggle("on", !!document.fullscreenElement);
  });
}
