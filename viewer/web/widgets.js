// The origin and target widgets: an axis triad each (origin green, target
// blue), placed where the host's widget stands, with the host's label.

import * as THREE from 'three';
import { CSS2DObject } from 'three/addons/renderers/CSS2DRenderer.js';
import { placementMatrix } from './view.js';

const kColours = { origin: 0x1a9a1a, target: 0x1a1ac0 };

class Triad {
    constructor(which) {
        this.group = new THREE.Group();
        this.group.matrixAutoUpdate = false;
        this.group.visible = false;
        this.group.name = `${which} widget`;
        const colour = kColours[which];
        const axes = [[1, 0, 0], [0, 1, 0], [0, 0, 1]];
        for (const [i, axis] of axes.entries()) {
            // The three axes share the widget's colour; their lengths tell them
            // apart (Z longest, the direction a picked face's normal takes).
            const arrow = new THREE.ArrowHelper(new THREE.Vector3(...axis), new THREE.Vector3(), 0.7 + 0.15 * i, colour, 0.18, 0.09);
            // Drawn over the parts, after them: a widget inside a part stays visible.
            for (const part of [arrow.line, arrow.cone]) {
                part.material.depthTest = false;
                part.renderOrder = 10;
            }
            this.group.add(arrow);
            const letter = document.createElement('span');
            letter.className = `widget-axis ${which}`;
            letter.textContent = 'XYZ'[i];
            letter.style.color = `#${colour.toString(16).padStart(6, '0')}`;
            letter.style.font = 'bold 11px system-ui';
            const tip = new CSS2DObject(letter);
            tip.position.set(...axis.map((a) => a * (0.8 + 0.15 * i)));
            this.group.add(tip);
        }
        this.labelElement = document.createElement('span');
        this.labelElement.className = `widget-label ${which}`;
        this.label = new CSS2DObject(this.labelElement);
        this.label.position.set(0, 0, -0.15);
        this.group.add(this.label);
        this.key = '';
    }

    update(widget, size) {
        const shown = Boolean(widget && widget.shown);
        const key = shown ? JSON.stringify([widget.position, widget.rotation, widget.label, size]) : '';
        if (key === this.key) return false;
        this.key = key;
        this.group.visible = shown;
        // CSS2D labels follow their own `visible`, not their parent's.
        this.group.traverse((o) => { if (o.isCSS2DObject) o.visible = shown; });
        if (!shown) return true;
        this.labelElement.textContent = widget.label;
        placementMatrix(widget, this.group.matrix);
        this.group.matrix.multiply(new THREE.Matrix4().makeScale(size, size, size));
        this.group.matrixWorldNeedsUpdate = true;
        return true;
    }
}

export class Widgets {
    constructor(scene) {
        this.origin = new Triad('origin');
        this.target = new Triad('target');
        scene.add(this.origin.group, this.target.group);
    }

    // `widgets` as /api/state gives them; `size` the triad's axis length.
    update(widgets, size) {
        const a = this.origin.update(widgets && widgets.origin, size);
        const b = this.target.update(widgets && widgets.target, size);
        return a || b;
    }
}
