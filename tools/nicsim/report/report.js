// Zoom, bins and hover for the page `nicsim report` writes. Marks are SVG rectangles that carry
// their virtual times (data-t0, and data-t1 for intervals); zooming lays them out again from
// those. Lanes of class "series" hold no marks of their own: their bins are drawn here from the
// series in the page's data (times, as differences, with values), for whatever stretch is in view,
// at a width from a fixed ladder (1, 2, 5 times a power of ten microseconds) that puts at most
// kBins bins across it. Errors are recorded on the document element (data-errors) so a headless
// browser can tell that the page ran clean; so are the bin width in use (data-bin), the load time
// (data-load-ms) and each colour drawn (data-fill, on the legend's swatches and on the first mark
// of each kind), which the browser test compares with the legend.
(function () {
  'use strict';
  const root = document.documentElement;
  const errors = [];
  function note(text) {
    errors.push(String(text));
    root.dataset.errors = String(errors.length);
    root.dataset.errorText = errors.join(' | ');
  }
  root.dataset.errors = '0';
  window.addEventListener('error', function (e) { note(e.message); });
  window.addEventListener('unhandledrejection', function (e) { note(e.reason); });
  const consoleError = console.error;
  console.error = function () {
    note(Array.prototype.join.call(arguments, ' '));
    consoleError.apply(console, arguments);
  };

  try {
    const kBins = 200;
    const svg = document.getElementById('plot');
    const ns = 'http://www.w3.org/2000/svg';
    const left = Number(svg.dataset.left), width = Number(svg.dataset.width);
    const end = Number(svg.dataset.end);
    const axis = document.getElementById('axis');
    const top = Number(axis.dataset.top), bottom = Number(axis.dataset.bottom);
    const marks = Array.prototype.slice.call(svg.querySelectorAll('.mark'));
    const shapes = marks.concat(Array.prototype.slice.call(svg.querySelectorAll('.seg')));
    const labels = Array.prototype.slice.call(svg.querySelectorAll('.slabel, .plabel'));
    const panel = document.getElementById('panel');
    const range = document.getElementById('range');
    const data = JSON.parse(document.getElementById('series').textContent);
    for (const s of data) {
      let at = 0;
      for (let i = 0; i < s.t.length; ++i) { at += s.t[i]; s.t[i] = at; }
    }
    const lanes = Array.prototype.slice.call(svg.querySelectorAll('.lane.series')).map(function (g) {
      return {
        g: g, kind: g.dataset.kind, type: g.dataset.type,
        series: g.dataset.series.split(',').map(function (id) { return data[Number(id)]; }),
        classes: g.dataset.cls ? g.dataset.cls.split(',') : [],
        y: Number(g.dataset.y), h: Number(g.dataset.h),
        bins: g.querySelector('.bins'), peak: g.querySelector('.peak')
      };
    });
    let v0 = 0, v1 = end;

    const x = function (t) { return left + (t - v0) * width / (v1 - v0); };
    const seconds = function (us, step) {
      const digits = Math.max(0, Math.min(6, Math.ceil(-Math.log10(step / 1e6))));
      return (us / 1e6).toFixed(digits) + ' s';
    };
    // 3 significant digits and k, M or G: label space is narrow.
    const fmt = function (v) {
      const units = ['', 'k', 'M', 'G'];
      let u = 0;
      while (Math.abs(v) >= 1000 && u < units.length - 1) { v /= 1000; ++u; }
      return Number(v.toPrecision(3)) + units[u];
    };
    const duration = function (us) {
      return us >= 1e6 ? us / 1e6 + ' s' : us >= 1e3 ? us / 1e3 + ' ms' : us + ' us';
    };
    // The smallest of 1, 2, 5 times a power of ten that cuts `span` into at most `count` pieces.
    function ladder(span, count) {
      for (let decade = 1; ; decade *= 10)
        for (const m of [1, 2, 5])
          if (span / (m * decade) <= count) return m * decade;
    }
    // The first point of `s` at or after `t`.
    function first(s, t) {
      let lo = 0, hi = s.t.length;
      while (lo < hi) {
        const mid = (lo + hi) >> 1;
        if (s.t[mid] < t) lo = mid + 1; else hi = mid;
      }
      return lo;
    }

    function drawAxis() {
      while (axis.firstChild) axis.removeChild(axis.firstChild);
      const span = v1 - v0;
      const step = ladder(span, 12);
      for (let t = Math.ceil(v0 / step) * step; t <= v1; t += step) {
        const g = document.createElementNS(ns, 'g');
        g.setAttribute('class', 'tick');
        const line = document.createElementNS(ns, 'line');
        line.setAttribute('x1', x(t)); line.setAttribute('x2', x(t));
        line.setAttribute('y1', top); line.setAttribute('y2', bottom);
        const text = document.createElementNS(ns, 'text');
        text.setAttribute('x', x(t)); text.setAttribute('y', top - 6);
        text.textContent = seconds(t, step);
        g.appendChild(line); g.appendChild(text);
        axis.appendChild(g);
      }
    }

    function rect(lane, cls, t0, t1, y, h, fields, title) {
      const r = document.createElementNS(ns, 'rect');
      r.setAttribute('class', 'mark bin ' + lane.kind + ' ' + cls);
      r.dataset.kind = lane.kind;
      r.dataset.cls = cls;
      for (const k of ['adapter', 'pipe', 'cpu']) if (lane.g.dataset[k] !== undefined) r.dataset[k] = lane.g.dataset[k];
      r.dataset.t0 = String(t0);
      r.dataset.t1 = String(t1);
      for (const k in fields) r.dataset[k] = String(fields[k]);
      const a = x(t0);
      r.setAttribute('x', a);
      r.setAttribute('width', Math.max(1, x(t1) - a));
      r.setAttribute('y', y);
      r.setAttribute('height', h);
      const tip = document.createElementNS(ns, 'title');
      tip.textContent = seconds(t0, 1) + ' to ' + seconds(t1, 1) + ' (a bin of ' + duration(t1 - t0) + ')\n' + title;
      r.appendChild(tip);
      lane.bins.appendChild(r);
    }

    // The bins of one lane over [v0, v1): per bin, what its series add up to there.
    function drawLane(lane, span) {
      while (lane.bins.firstChild) lane.bins.removeChild(lane.bins.firstChild);
      let w = ladder(span, kBins);
      for (const s of lane.series) w = Math.max(w, s.base);
      const b0 = Math.floor(v0 / w), b1 = Math.ceil(v1 / w);
      const count = b1 - b0;
      const perSecond = 1e6 / w;
      const bins = [];
      for (let i = 0; i < count; ++i) bins.push({ n: 0, sum: 0, min: Infinity, max: -Infinity, level: 0, by: [] });
      lane.series.forEach(function (s, which) {
        let i = first(s, b0 * w);
        const stop = b1 * w;
        // A level holds from its point to the next: the bins before a point's start with the one
        // it left.
        let carry = lane.type === 'level' && i > 0 ? (s.after ? s.after[i - 1] : s.v[i - 1]) : 0;
        let b = 0;
        for (; i < s.t.length && s.t[i] < stop; ++i) {
          const k = Math.floor(s.t[i] / w) - b0;
          if (lane.type === 'level') {
            for (; b < k; ++b) bins[b].level = Math.max(bins[b].level, carry);
            bins[k].level = Math.max(bins[k].level, carry, s.max ? s.max[i] : s.v[i]);
            carry = s.after ? s.after[i] : s.v[i];
            continue;
          }
          const n = s.n ? s.n[i] : 1;
          const bin = bins[k];
          bin.n += n;
          bin.by[which] = (bin.by[which] || 0) + n;
          if (s.sum) bin.sum += s.sum[i];
          else if (s.v) bin.sum += s.v[i];
          if (s.v || s.min) {
            bin.min = Math.min(bin.min, s.min ? s.min[i] : s.v[i]);
            bin.max = Math.max(bin.max, s.max ? s.max[i] : s.v[i]);
          }
        }
        if (lane.type === 'level') for (; b < count; ++b) bins[b].level = Math.max(bins[b].level, carry);
      });
      const value = function (bin) {
        switch (lane.type) {
          case 'traffic': return bin.n * perSecond;
          case 'packets': return bin.sum * 1000 / w;
          case 'latency': return bin.n ? bin.max : 0;
          case 'level': return bin.level;
          default: return bin.n;
        }
      };
      let peak = 0, peakBytes = 0;
      for (const bin of bins) {
        peak = Math.max(peak, value(bin));
        peakBytes = Math.max(peakBytes, bin.sum * perSecond);
      }
      const y = lane.y, h = lane.h - 2;
      const height = function (v, most) { return Math.max(1, h * v / most); };
      const line = [];
      bins.forEach(function (bin, i) {
        const t0 = (b0 + i) * w, t1 = t0 + w;
        const v = value(bin);
        if (lane.type === 'traffic') {
          const by = lane.y + lane.h - (peakBytes > 0 ? h * bin.sum * perSecond / peakBytes : 0);
          line.push(x(t0) + ',' + by, x(t1) + ',' + by);
        }
        if (v <= 0 && !(lane.type === 'latency' && bin.n > 0)) return;
        const top = y + lane.h;
        switch (lane.type) {
          case 'traffic':
            rect(lane, 'bin', t0, t1, top - height(v, peak), height(v, peak),
                 { n: bin.n, bytes: bin.sum, v: v, bps: bin.sum * perSecond },
                 bin.n + ' frames, ' + bin.sum + ' bytes: ' + fmt(v) + ' frames/s, ' + fmt(bin.sum * perSecond) +
                 ' bytes/s');
            break;
          case 'packets':
            rect(lane, 'bin', t0, t1, top - height(v, peak), height(v, peak), { n: bin.sum, transfers: bin.n, v: v },
                 bin.sum + ' bulk packets in ' + bin.n + ' transfers: ' + fmt(v) + ' per 1 ms frame');
            break;
          case 'latency':
            rect(lane, 'bin', t0, t1, top - height(v, peak || 1), height(v, peak || 1),
                 { n: bin.n, min: bin.min, max: bin.max, mean: bin.sum / bin.n, v: v },
                 bin.n + ' sends completed, from call to NdisMSendComplete: longest ' + bin.max + ' us, shortest ' +
                 bin.min + ' us, mean ' + fmt(bin.sum / bin.n) + ' us');
            break;
          case 'level':
            rect(lane, 'bin', t0, t1, top - height(v, peak), height(v, peak), { v: v },
                 'at most ' + v + ' request' + (v === 1 ? '' : 's') + ' in flight on the pipe');
            break;
          case 'cpu': {
            let below = 0;
            const parts = lane.classes.map(function (c, k) {
              return (bin.by[k] || 0) + ' ' + c.replace('ctx-', '');
            }).join(', ');
            lane.classes.forEach(function (c, k) {
              const n = bin.by[k] || 0;
              if (!n) return;
              const hh = h * n / peak;
              rect(lane, c, t0, t1, top - below - hh, hh, { n: n },
                   bin.n + ' tasks taken up (' + parts + ')');
              below += hh;
            });
            break;
          }
        }
      });
      if (lane.type === 'traffic') {
        const p = document.createElementNS(ns, 'polyline');
        p.setAttribute('class', 'mark-line bytes line');
        p.dataset.kind = 'bytes';
        p.setAttribute('points', line.join(' '));
        lane.bins.appendChild(p);
      }
      const unit = { traffic: 'frames/s', packets: 'packets/frame', latency: 'us', level: 'in flight',
                     cpu: 'tasks a bin' }[lane.type];
      const note = lane.g.dataset.note ? lane.g.dataset.note + '; ' : '';
      lane.peak.textContent = note + 'peak ' + fmt(peak) + ' ' + unit +
          (lane.type === 'traffic' ? ', ' + fmt(peakBytes) + ' bytes/s' : '') + ' (bins of ' + duration(w) + ')';
    }

    // The colour each kind of mark is drawn in, where the legend's swatches can be compared with it.
    function noteFills() {
      const seen = {};
      for (const m of svg.querySelectorAll('.mark')) {
        const key = m.dataset.kind + ' ' + m.dataset.cls;
        if (seen[key]) continue;
        seen[key] = true;
        m.dataset.fill = getComputedStyle(m).fill;
      }
      for (const s of document.querySelectorAll('#legend .swatch')) {
        const style = getComputedStyle(s);
        s.dataset.fill = s.tagName === 'line' ? style.stroke : style.fill;
      }
      const line = svg.querySelector('.mark-line');
      if (line) line.dataset.fill = getComputedStyle(line).stroke;
    }

    function layout() {
      for (const m of shapes) {
        const t0 = Number(m.dataset.t0);
        if (m.dataset.t1 !== undefined) {
          const a = x(t0), b = x(Number(m.dataset.t1));
          m.setAttribute('x', a);
          m.setAttribute('width', Math.max(1, b - a));
        } else {
          m.setAttribute('x', x(t0) - Number(m.getAttribute('width')) / 2);
        }
      }
      for (const l of labels) {
        const a = Math.max(x(Number(l.dataset.t0)), left), b = Math.min(x(Number(l.dataset.t1)), left + width);
        l.setAttribute('x', a + 3);
        l.style.display = b - a > l.textContent.length * 5.5 + 6 ? '' : 'none';
      }
      for (const lane of lanes) drawLane(lane, v1 - v0);
      root.dataset.bin = String(ladder(v1 - v0, kBins));
      drawAxis();
      range.textContent = 'Showing ' + seconds(v0, 1) + ' to ' + seconds(v1, 1) + ' of virtual time, in bins of ' +
          duration(ladder(v1 - v0, kBins)) + '.';
      root.dataset.marks = String(svg.querySelectorAll('.mark').length);
      noteFills();
    }

    let pending = false;
    function zoomTo(a, b) {
      const span = Math.min(end, Math.max(100, b - a));
      a = Math.max(0, Math.min(a, end - span));
      v0 = a; v1 = a + span;
      // Wheel and drag events come faster than frames: lay out once per frame.
      if (pending) return;
      pending = true;
      requestAnimationFrame(function () { pending = false; layout(); });
    }

    function timeAt(clientX) {
      const box = svg.getBoundingClientRect();
      const px = (clientX - box.left) * Number(svg.getAttribute('width')) / box.width;
      return v0 + (Math.max(left, Math.min(left + width, px)) - left) * (v1 - v0) / width;
    }

    svg.addEventListener('wheel', function (e) {
      e.preventDefault();
      const t = timeAt(e.clientX);
      const k = e.deltaY < 0 ? 0.8 : 1.25;
      zoomTo(t - (t - v0) * k, t + (v1 - t) * k);
    }, { passive: false });
    let drag = null;
    svg.addEventListener('mousedown', function (e) { drag = { from: timeAt(e.clientX), v0: v0, v1: v1 }; });
    window.addEventListener('mouseup', function () { drag = null; });
    svg.addEventListener('mousemove', function (e) {
      if (!drag) return;
      const box = svg.getBoundingClientRect();
      const shift = (e.movementX * Number(svg.getAttribute('width')) / box.width) * (v1 - v0) / width;
      zoomTo(v0 - shift, v1 - shift);
    });
    svg.addEventListener('dblclick', function () { zoomTo(0, end); });

    let hovered = null;
    svg.addEventListener('mouseover', function (e) {
      const m = e.target.closest ? e.target.closest('.mark') : null;
      if (!m) return;
      if (hovered) hovered.classList.remove('hover');
      hovered = m;
      m.classList.add('hover');
      const title = m.querySelector('title');
      panel.textContent = title ? title.textContent : '';
    });

    // A link may open the page on a stretch of the run: #us=FROM-TO, in microseconds.
    const asked = /^#us=(\d+)-(\d+)$/.exec(location.hash);
    if (asked) {
      const span = Math.min(end, Math.max(100, Number(asked[2]) - Number(asked[1])));
      v0 = Math.max(0, Math.min(Number(asked[1]), end - span));
      v1 = v0 + span;
    }
    layout();
    root.dataset.loadMs = String(Math.round(performance.now()));
    root.dataset.ready = '1';
  } catch (e) {
    note(e && e.stack ? e.stack : e);
  }
})();
