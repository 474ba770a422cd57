// A list of many rows that scrolls in its own box and keeps in the page
// only the rows in view, so that ten thousand files cost no more than
// twenty.
const QuarvelFileList = (() => {
  'use strict';

  const ROW_HEIGHT = 28;  // pixels; style.css gives the rows this height
  const SPARE_ROWS = 8;  // rows kept beyond the view, each way
  const MOST_ROWS_SEEN = 12;  // the box is as tall as this many rows at most

  // A list in `box` (which scrolls); `fillRow(element, item)` fills the
  // element of a row shown. Returns {show(items)}.
  function create(box, fillRow) {
    const inner = document.createElement('div');
    inner.className = 'list-inner';
    box.replaceChildren(inner);
    let items = [];
    let pending = false;
    const render = () => {
      pending = false;
      const first = Math.max(0, Math.floor(box.scrollTop / ROW_HEIGHT) - SPARE_ROWS);
      const last = Math.min(items.length, Math.ceil((box.scrollTop + box.clientHeight) / ROW_HEIGHT) + SPARE_ROWS);
      const rows = [];
      for (let i = first; i < last; i++) {
        const row = document.createElement('div');
        row.className = 'row';
        row.style.top = `${i * ROW_HEIGHT}px`;
        fillRow(row, items[i]);
        rows.push(row);
      }
      inner.replaceChildren(...rows);
    };
    box.addEventListener('scroll', () => {
      if (!pending) {
        pending = true;
        requestAnimationFrame(render);
      }
    });
    return {
      show(list) {
        items = list;
        inner.style.height = `${items.length * ROW_HEIGHT}px`;
        box.style.height = `${Math.min(items.length, MOST_ROWS_SEEN) * ROW_HEIGHT + 2}px`;
        box.scrollTop = 0;
        render();
      },
    };
  }

  return { create, ROW_HEIGHT };
})();
