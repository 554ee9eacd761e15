// The deep synthetic assembly as a binary glTF file: N nodes in a balanced
// tree of fan-out 8, each turned and offset in its parent, a box on every one
// (one mesh shared by all). The same shape as the library's and the file
// layer's benchmarks use, so that their figures and these can be set side by side.

import { boxGlb } from '../../tests/viewer/browser/glb.mjs';

const kFanOut = 8;
const kHalf = Math.sqrt(0.5);
const kTurns = [[0, 0, 0, 1], [kHalf, 0, 0, kHalf], [0, 0, 0.3826834, 0.9238795], [0.1, 0.2, 0.3, 0.9273618]];

export function syntheticGlb(count) {
    const nodes = [];
    for (let i = 0; i < count; ++i) {
        nodes.push({ name: `n${i}`, mesh: 0, translation: [i % 1000, Math.floor(i / 1000) % 1000, 0], rotation: kTurns[i % 4] });
        if (i > 0) {
            const parent = nodes[Math.floor((i - 1) / kFanOut)];
            (parent.children ||= []).push(i);
        }
    }
    return boxGlb(nodes, [0.6, 0.6, 0.6]);
}
