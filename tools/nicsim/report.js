// Zoom and hover for the page `nicsim report` writes. The marks are SVG rectangles that carry
// their virtual times (data-t0, and data-t1 for intervals); zooming lays them out again from
// those. Errors are recorded on the document element (data-errors) so a headless browser can
// tell that the page ran clean.
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
    const svg = document.getElementById('plot');
    const ns = 'http://www.w3.org/2000/svg';
    const left = Number(svg.dataset.left), width = Number(svg.dataset.width);
    const end = Number(svg.dataset.end);
    const axis = document.getElementById('axis');
    const top = Number(axis.dataset.top), bottom = Number(axis.dataset.bottom);
    const marks = Array.prototype.slice.call(svg.querySelectorAll('.mark'));
    const shapes = marks.concat(Array.prototype.slice.call(svg.querySelectorAll('.seg')));
    const labels = Array.prototype.slice.call(svg.querySelectorAll('.slabel'));
    const panel = document.getElementById('panel');
    const range = document.getElementById('range');
    let v0 = 0, v1 = end;

    const x = function (t) { return left + (t - v0) * width / (v1 - v0); };
    const seconds = function (us, step) {
      const digits = Math.max(0, Math.min(6, Math.ceil(-Math.log10(step / 1e6))));
      return (us / 1e6).toFixed(digits) + ' s';
    };

    function drawAxis() {
      while (axis.firstChild) axis.removeChild(axis.firstChild);
      const span = v1 - v0;
      let step = 1;
      for (let decade = 1; ; decade *= 10) {
        const m = [1, 2, 5].find(function (k) { return span / (k * decade) <= 12; });
        if (m !== undefined) { step = m * decade; break; }
      }
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
      range.textContent = 'Showing ' + seconds(v0, 1) + ' to ' + seconds(v1, 1) + ' of virtual time.';
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
      drawAxis();
    }

    function zoomTo(a, b) {
      const span = Math.min(end, Math.max(100, b - a));
      a = Math.max(0, Math.min(a, end - span));
      v0 = a; v1 = a + span;
      layout();
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
    if (asked) zoomTo(Number(asked[1]), Number(asked[2]));
    else layout();
    root.dataset.marks = String(marks.length);
    root.dataset.ready = '1';
  } catch (e) {
    note(e && e.stack ? e.stack : e);
  }
})();
