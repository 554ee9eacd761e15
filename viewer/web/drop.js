// A .glb or .gltf file dropped on the page is sent to the host to open. The
// page refuses what the host would refuse anyway before sending a byte: other
// kinds of file, empty files and files over the host's limit.

export const kMaxFileBytes = 64 * 1024 * 1024;

export function checkDropped(file) {
    if (!/\.(glb|gltf)$/i.test(file.name)) return `${file.name}: not a .glb or .gltf file`;
    if (file.size === 0) return `${file.name}: the file is empty`;
    if (file.size > kMaxFileBytes) return `${file.name}: ${file.size} bytes, over the limit of ${kMaxFileBytes}`;
    return null;
}

export function watchDrops(doc, hint, onFile, onRefused) {
    let depth = 0;
    const show = (on) => { hint.hidden = !on; };
    doc.addEventListener('dragenter', (e) => { if (e.dataTransfer && [...e.dataTransfer.types].includes('Files')) { ++depth; show(true); } });
    doc.addEventListener('dragleave', () => { if (depth > 0 && --depth === 0) show(false); });
    doc.addEventListener('dragover', (e) => e.preventDefault());
    doc.addEventListener('drop', (e) => {
        e.preventDefault();
        depth = 0;
        show(false);
        const files = e.dataTransfer ? [...e.dataTransfer.files] : [];
        if (files.length !== 1) {
            onRefused(files.length ? 'Drop one file at a time' : 'Only files can be dropped here');
            return;
        }
        const why = checkDropped(files[0]);
        if (why) onRefused(why);
        else onFile(files[0]);
    });
}
