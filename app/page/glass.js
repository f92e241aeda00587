'use strict';
// Glass for the page: a refraction lens drawn as an SVG filter used as a backdrop filter, the damped
// springs that move the page's controls, the liquid controls built on both, and the pointer bloom.
//
// The lens is a rounded rectangle of glass with a convex bezel: each pixel of the backdrop is displaced
// by how far light bends through the bezel at that depth (Snell's law on the surface's slope), the three
// colour channels slightly apart, and a thin edge light is screened on top.

// ---- Constants ------------------------------------------------------------------------------------

const STILL = matchMedia('(prefers-reduced-motion: reduce)').matches;

// WebKitGTK accepts an SVG filter reference as backdrop filter in CSS.supports and in computed style, yet
// draws nothing at all for it, not even a blur: the capsules would be clear over the video. What holds
// is the engine that runs the page, so only Blink gets the lens and everything else the plain blur.
const BLINK = !!navigator.userAgentData || /\bChrom(?:e|ium)\//.test(navigator.userAgent);
const GLASS_SUPPORTED = BLINK && typeof CSS !== 'undefined' && CSS.supports('backdrop-filter', 'url(#lg)');
const GLASS_FALLBACK = 'blur(6px) saturate(1.4)';

const IOR = 1.5;
const THICKNESS = 0.6;
const MAX_FILTERS = 24;
// The only profile: a concave one would sample outside the filter region and tear the edge.
const SURFACES = { convex: x => (1 - (1 - x) ** 4) ** 0.25 };
const LIGHT = [-0.55, -0.835];
const SVG_NS = 'http://www.w3.org/2000/svg';

// ---- Lens maps ------------------------------------------------------------------------------------

const bendTables = new Map();

// How far a ray entering the glass at each depth of the bezel (0 at the rim, 1 at the flat) is bent.
function bendTable(name) {
  if (!Object.prototype.hasOwnProperty.call(SURFACES, name)) name = 'convex';
  if (bendTables.has(name)) return bendTables.get(name);
  const profile = SURFACES[name], e = 0.001;
  const table = new Float64Array(256);
  for (let i = 0; i < 256; i++) {
    const x = Math.max(0.001, i / 255);
    const slope = (profile(Math.min(1, x + e)) - profile(Math.max(0, x - e))) / (2 * e);
    const incidence = Math.atan(Math.abs(slope));
    const refracted = Math.asin(Math.sin(incidence) / IOR);
    table[i] = (profile(x) + THICKNESS) * Math.tan(incidence - refracted) * Math.sign(slope);
  }
  bendTables.set(name, table);
  return table;
}

function pngOf(w, h, fill) {
  const canvas = document.createElement('canvas');
  canvas.width = w;
  canvas.height = h;
  const g = canvas.getContext('2d');
  const image = g.createImageData(w, h);
  fill(image.data);
  g.putImageData(image, 0, 0);
  return canvas.toDataURL('image/png');
}

// The displacement and light images of a w × h rounded rectangle. The maps reach 1.5 px beyond the
// outline so that the anti-aliased edge pixels read them too.
function glassMaps(w, h, radius, bezel, magnify, surface, specular) {
  const table = bendTable(surface);
  const zoom = 1 - 1 / magnify;
  const ax = new Float64Array(w * h), ay = new Float64Array(w * h), light = new Float64Array(w * h);
  let peak = 0.001;
  for (let y = 0; y < h; y++) {
    for (let x = 0; x < w; x++) {
      const px = x + 0.5 - w / 2, py = y + 0.5 - h / 2;
      const qx = Math.abs(px) - (w / 2 - radius), qy = Math.abs(py) - (h / 2 - radius);
      const ox = Math.max(qx, 0), oy = Math.max(qy, 0);
      const l = Math.hypot(ox, oy);
      const sd = l + Math.min(Math.max(qx, qy), 0) - radius;
      if (sd >= 1.5) continue;
      let nx, ny;
      if (l > 0) {
        nx = ox / l * Math.sign(px);
        ny = oy / l * Math.sign(py);
      } else if (qx > qy) {
        nx = Math.sign(px);
        ny = 0;
      } else {
        nx = 0;
        ny = Math.sign(py);
      }
      const depth = Math.max(0, -sd);
      let dx = -px * zoom, dy = -py * zoom;
      const inBezel = bezel > 0 && depth < bezel;
      if (inBezel) {
        const bend = table[Math.min(255, Math.floor(depth / bezel * 255))] * bezel;
        dx -= nx * bend;
        dy -= ny * bend;
      }
      const i = y * w + x;
      ax[i] = dx;
      ay[i] = dy;
      peak = Math.max(peak, Math.abs(dx), Math.abs(dy));
      const edge = Math.max(0, 1 - depth / 1.6);
      const facing = Math.abs(nx * LIGHT[0] + ny * LIGHT[1]) ** 2.4;
      const glow = inBezel ? (1 - depth / bezel) ** 2 * 0.06 : 0;
      light[i] = Math.min(1, specular * (edge * edge * (0.16 + 0.84 * facing) + glow));
    }
  }
  const disp = pngOf(w, h, data => {
    for (let i = 0; i < w * h; i++) {
      data[i * 4] = 128 + ax[i] / peak * 127;
      data[i * 4 + 1] = 128 + ay[i] / peak * 127;
      data[i * 4 + 2] = 128;
      data[i * 4 + 3] = 255;
    }
  });
  const spec = pngOf(w, h, data => {
    for (let i = 0; i < w * h; i++) {
      data.fill(255, i * 4, i * 4 + 3);
      data[i * 4 + 3] = light[i] * 255;
    }
  });
  return { disp, spec, peak };
}

// ---- Filters --------------------------------------------------------------------------------------

// Filters by their parameters, least recently used first (a Map keeps insertion order).
const filters = new Map();
let filterCount = 0;

function svgNode(parent, name, attrs) {
  const node = document.createElementNS(SVG_NS, name);
  for (const [k, v] of Object.entries(attrs)) node.setAttribute(k, String(v));
  parent.append(node);
  return node;
}

function filterId(w, h, o) {
  const key = [w, h, o.radius, o.bezel, o.magnify, o.blur, o.sat, o.chroma, o.surface, o.specular].join(',');
  const hit = filters.get(key);
  if (hit) {
    filters.delete(key);
    filters.set(key, hit);
    return hit.id;
  }
  while (filters.size >= MAX_FILTERS) {
    const [oldKey, old] = filters.entries().next().value;
    old.node.remove();
    filters.delete(oldKey);
  }
  const id = `lg${++filterCount}`;
  const maps = glassMaps(w, h, o.radius, o.bezel, o.magnify, o.surface, o.specular);
  const node = svgNode(document.getElementById('fx'), 'filter', { id, x: 0, y: 0, width: w, height: h,
    filterUnits: 'userSpaceOnUse', primitiveUnits: 'userSpaceOnUse', 'color-interpolation-filters': 'sRGB' });
  const image = (href, result) => svgNode(node, 'feImage', { href, x: 0, y: 0, width: w, height: h,
    preserveAspectRatio: 'none', result });
  image(maps.disp, 'map');
  image(maps.spec, 'light');
  svgNode(node, 'feGaussianBlur', { in: 'SourceGraphic', stdDeviation: o.blur, result: 'soft' });
  const keep = ['1 0 0 0 0  0 0 0 0 0  0 0 0 0 0  0 0 0 1 0', '0 0 0 0 0  0 1 0 0 0  0 0 0 0 0  0 0 0 1 0',
    '0 0 0 0 0  0 0 0 0 0  0 0 1 0 0  0 0 0 1 0'];
  [1 + o.chroma, 1, 1 - o.chroma].forEach((spread, c) => {
    svgNode(node, 'feDisplacementMap', { in: 'soft', in2: 'map', scale: 2 * maps.peak * spread,
      xChannelSelector: 'R', yChannelSelector: 'G', result: `d${c}` });
    svgNode(node, 'feColorMatrix', { in: `d${c}`, type: 'matrix', values: keep[c], result: `c${c}` });
  });
  svgNode(node, 'feBlend', { in: 'c0', in2: 'c1', mode: 'screen', result: 'rg' });
  svgNode(node, 'feBlend', { in: 'rg', in2: 'c2', mode: 'screen', result: 'rgb' });
  svgNode(node, 'feColorMatrix', { in: 'rgb', type: 'saturate', values: o.sat, result: 'sat' });
  svgNode(node, 'feBlend', { in: 'light', in2: 'sat', mode: 'screen' });
  filters.set(key, { id, node });
  return id;
}

const LENS = { radius: 8, bezel: 7, magnify: 1, blur: 0, sat: 1.2, chroma: 0.014, surface: 'convex', specular: 1 };

function lens(el, options) {
  const w = Math.round(el.offsetWidth), h = Math.round(el.offsetHeight);
  if (!w || !h) return;
  const o = { ...LENS, ...options };
  o.radius = Math.min(o.radius, w / 2, h / 2);
  const value = GLASS_SUPPORTED ? `url(#${filterId(w, h, o)})` : GLASS_FALLBACK;
  el.style.backdropFilter = value;
  el.style.setProperty('-webkit-backdrop-filter', value);
}

// ---- Springs --------------------------------------------------------------------------------------

// One animation-frame loop drives every moving spring and runs only while one moves.
const moving = new Set();
let springFrame = 0, springLast = 0;

function stepSprings(now) {
  const elapsed = springLast ? (now - springLast) / 1000 : 0;
  springLast = now;
  const dt = Math.min(0.032, elapsed || 0.016) / 3;
  for (const s of [...moving]) {
    for (let i = 0; i < 3; i++) {
      s.v += (-s.k * (s.x - s.to) - s.c * s.v) * dt;
      s.x += s.v * dt;
    }
    if (Math.abs(s.v) < s.eps && Math.abs(s.x - s.to) < s.eps) {
      s.x = s.to;
      s.v = 0;
      moving.delete(s);
    }
    s.paint(s.x);
  }
  springFrame = moving.size ? requestAnimationFrame(stepSprings) : 0;
  if (!springFrame) springLast = 0;
}

function spring(x, k, c, paint, eps = 0.002) {
  const s = {
    x, v: 0, to: x, k, c, eps, paint: paint || (() => {}),
    set(to) {
      if (STILL) return s.jump(to);
      s.to = to;
      moving.add(s);
      if (!springFrame) springFrame = requestAnimationFrame(stepSprings);
    },
    jump(to) {
      moving.delete(s);
      s.to = to;
      s.x = to;
      s.v = 0;
      s.paint(s.x);
    },
  };
  return s;
}

// ---- Liquid controls ------------------------------------------------------------------------------

const flex = (v, gain, max) => Math.min(max, Math.abs(v) * gain);

// A control with an opaque block at rest and a glass one while held: pos moves it, press swells it,
// mat crossfades the two (0 opaque, 1 glass).
function liquid(solid, glass, render, lensOptions) {
  const ctl = { solid, glass, timer: 0 };
  const paint = () => {
    if (glass) glass.style.opacity = String(ctl.mat.x);
    if (solid) solid.style.opacity = String(1 - ctl.mat.x);
    render(ctl);
  };
  ctl.pos = spring(0, 420, 30, paint);
  ctl.press = spring(0, 640, 30, paint);
  ctl.mat = spring(0, 900, 48, paint);
  ctl.lens = () => { if (glass && lensOptions) lens(glass, lensOptions); };
  ctl.wake = () => {
    clearTimeout(ctl.timer);
    ctl.lens();
    ctl.mat.set(1);
    ctl.press.set(1);
  };
  ctl.settle = (after = 180) => {
    clearTimeout(ctl.timer);
    ctl.press.set(0);
    ctl.timer = setTimeout(() => ctl.mat.set(0), after);
  };
  return ctl;
}

const kept = (el, make) => el.__liquid || (el.__liquid = make());
const both = (ctl, transform) => [ctl.solid, ctl.glass].forEach(b => { if (b) b.style.transform = transform; });

// Segmented control: the block under the chosen option, pos in options (fractional while dragged).
function segCtl(el) {
  return kept(el, () => liquid(el.querySelector('.seg-s'), el.querySelector('.seg-g'), ctl => {
    const stretch = flex(ctl.pos.v, 0.085, 0.5), press = ctl.press.x;
    both(ctl, `translateX(${ctl.pos.x * 100}%) scale(${1 + stretch + press * 0.1}, ${1 - stretch * 0.32 + press * 0.38})`);
  }, { radius: 7, bezel: 6, magnify: 1.16, blur: 0.12 }));
}

// Switch: pos 0 off, 1 on.
function swCtl(el) {
  return kept(el, () => liquid(el.querySelector('.kn-s'), el.querySelector('.kn-g'), ctl => {
    const knob = ctl.solid || ctl.glass;
    const travel = el.offsetWidth - (knob ? knob.offsetWidth : 0) - 4;
    const stretch = flex(ctl.pos.v, 0.14, 0.42), press = ctl.press.x;
    both(ctl, `translateX(${ctl.pos.x * travel}px) scale(${1 + stretch + press * 0.3}, ${1 - stretch * 0.28 + press * 0.5})`);
  }, { radius: 12, bezel: 6, magnify: 1.06, blur: 0.15, specular: 1.1 }));
}

// Slider: pos 0..1 goes to the CSS variable --v, which places the knob and the fill.
function gsCtl(el) {
  return kept(el, () => {
    const ctl = liquid(el.querySelector('.gs-s'), el.querySelector('.gs-g'), c => {
      el.style.setProperty('--v', String(c.pos.x));
      both(c, `scale(${1 + c.press.x * 0.34}, ${1 + c.press.x * 0.62})`);
    }, { radius: 9, bezel: 5, magnify: 1.16, blur: 0, sat: 1.1 });
    ctl.pos.k = 1100;
    ctl.pos.c = 62;
    return ctl;
  });
}

// The sidebar's selection block: solid only, a lens would bend the icons at its edge.
function navCtl(solid) {
  return kept(solid, () => {
    let placed = false;
    const s = spring(0, 360, 27, y => {
      const stretch = flex(s.v, 1 / 1500, 0.55);
      solid.style.transform = `translateY(${y}px) scale(${1 - stretch * 0.08}, ${1 + stretch})`;
    }, 0.05);
    return {
      place(y, animate) {
        solid.hidden = y === null || y === undefined;
        if (solid.hidden) return;
        if (placed && animate) s.set(y);
        else s.jump(y);
        placed = true;
      },
    };
  });
}

// ---- Pointer effects ------------------------------------------------------------------------------

const BLOOM_ON = '.thumb, .prow, button:not([role=menuitem])';
const held = new Set();

function bloom(el, e) {
  const r = el.getBoundingClientRect();
  if (!r.width || !r.height) return;
  // Hovered and pressed elements are scaled: place the bloom in the element's own pixels.
  const sx = el.offsetWidth / r.width, sy = el.offsetHeight / r.height;
  const dot = document.createElement('span');
  dot.className = 'bloom';
  dot.style.left = `${(e.clientX - r.left) * sx}px`;
  dot.style.top = `${(e.clientY - r.top) * sy}px`;
  dot.addEventListener('animationend', () => dot.remove(), { once: true });
  el.append(dot);
}

document.addEventListener('pointerdown', e => {
  if (e.button !== 0 || !e.target.closest) return;
  const control = e.target.closest('.sw, .gs');
  if (control) {
    const ctl = control.classList.contains('sw') ? swCtl(control) : gsCtl(control);
    ctl.wake();
    held.add(ctl);
  }
  const target = e.target.closest(BLOOM_ON);
  if (target && !STILL) bloom(target, e);
}, true);

const letGo = () => {
  for (const ctl of held) ctl.settle(240);
  held.clear();
};
window.addEventListener('pointerup', letGo, true);
window.addEventListener('pointercancel', letGo, true);
