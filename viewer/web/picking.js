// Pointer input on the canvas: a click (a press and release without dragging,
// so orbiting does not select) picks the part under it; in picking mode the
// pointer's moves over faces are reported as hovers as well.

const kClickSlop = 4; // pixels a press may travel and still be a click

export class Picking {
    // `handlers.click(hit, event)` and `handlers.hover(hit)`; `hit` as View.pick gives it.
    constructor(view, handlers) {
        this.view = view;
        this.handlers = handlers;
        this.hovering = false;
        this.down = null;
        const canvas = view.renderer.domElement;
        canvas.addEventListener('pointerdown', (e) => {
            if (e.button === 0) this.down = { x: e.clientX, y: e.clientY };
        });
        canvas.addEventListener('pointerup', (e) => {
            const down = this.down;
            this.down = null;
            if (!down || e.button !== 0) return;
            if (Math.hypot(e.clientX - down.x, e.clientY - down.y) > kClickSlop) return;
            this.handlers.click(view.pick(e.clientX, e.clientY), e);
        });
        canvas.addEventListener('pointermove', (e) => {
            if (!this.hovering || this.down) return;
            this.handlers.hover(view.pick(e.clientX, e.clientY));
        });
    }
}
