// The question about unsaved proxy changes: "Да" (and Enter) ends with true, "Нет" with
// false, the close icon (and Escape) with -1, which means: stay on the page.

document.addEventListener('DOMContentLoaded', () => {
    dialog.start({
        fill: () => {
            document.getElementById('DialogYes').addEventListener('click', () => dialog.finish(true));
            document.getElementById('DialogNo').addEventListener('click', () => dialog.finish(false));
        },
        confirm: () => dialog.finish(true),
        close: () => dialog.finish(-1),
        focus: () => document.getElementById('DialogYes'),
    });
});
