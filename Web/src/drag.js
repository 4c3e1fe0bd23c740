// Dragging with pointer events: a press that moves a few pixels becomes a drag; over each
// element matching `targets` the caller learns where the pointer is, and on release where it
// was dropped. A press that does not move stays a click.

export function makeDraggable(handle, { targets, over, drop, leave }) {
    handle.addEventListener('pointerdown', (down) => {
        if (down.button !== 0 || down.target.closest('button, input')) {
            return;
        }
        let dragging = false;
        let current = null;
        const targetAt = (event) => {
            const hit = document.elementFromPoint(event.clientX, event.clientY);
            return hit ? hit.closest(targets) : null;
        };
        const move = (event) => {
            if (!dragging && Math.hypot(event.clientX - down.clientX, event.clientY - down.clientY) < 6) {
                return;
            }
            dragging = true;
            const target = targetAt(event);
            if (current && current !== target) {
                leave(current);
            }
            current = target;
            if (target) {
                over(target, event);
            }
        };
        const up = (event) => {
            window.removeEventListener('pointermove', move);
            window.removeEventListener('pointerup', up);
            if (current) {
                leave(current);
            }
            if (dragging) {
                // The click that may follow a drag is not a selection; when none follows, the
                // next real click must not be swallowed.
                const swallow = (click) => click.stopPropagation();
                window.addEventListener('click', swallow, { capture: true, once: true });
                setTimeout(() => window.removeEventListener('click', swallow, { capture: true }), 0);
                const target = targetAt(event);
                if (target) {
                    drop(target, event);
                }
            }
        };
        window.addEventListener('pointermove', move);
        window.addEventListener('pointerup', up);
    });
}

/// Which edge of `element` the point is nearest, or the centre when it is well inside.
export function dropEdge(element, event) {
    const box = element.getBoundingClientRect();
    const x = (event.clientX - box.left) / box.width;
    const y = (event.clientY - box.top) / box.height;
    const distances = { left: x, right: 1 - x, top: y, bottom: 1 - y };
    const [edge, distance] = Object.entries(distances).sort((a, b) => a[1] - b[1])[0];
    return distance < 0.3 ? edge : 'center';
}
