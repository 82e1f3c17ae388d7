'use strict';
// The first-run overview: four steps, one at a time. "Узнать подробнее" (then "Далее")
// moves on; "Закрыть окно", the close icon and, on the last step, "Открыть Варнел.Агент"
// end it, and the sign-in page follows. Keys: Enter presses the focused button, the
// arrows step back and forth, Escape closes.

var overview = {
    step: 1,
    COUNT: 4,
    closing: false,

    async ready() {
        document.getElementById('OverviewNext').addEventListener('click', () => overview.next());
        for (const id of ['OverviewClose', 'OverviewCloseIcon', 'OverviewOpen'])
            document.getElementById(id).addEventListener('click', () => overview.close());
        document.addEventListener('keydown', (event) => overview.on_key(event));
        overview.show(1);
        await resize();
        document.body.dataset.ready = 'true';
    },

    show(step) {
        overview.step = step;
        for (const section of document.querySelectorAll('.overview__step'))
            section.hidden = Number(section.dataset.step) !== step;
        document.querySelectorAll('.overview__dot').forEach((dot, index) => dot.classList.toggle('active', index + 1 === step));
        const last = step === overview.COUNT;
        document.getElementById('OverviewNextText').textContent = step === 1 ? 'Узнать подробнее' : 'Далее';
        document.getElementById('OverviewNext').hidden = last;
        document.getElementById('OverviewClose').hidden = last;
        document.getElementById('OverviewOpen').hidden = !last;
        document.body.dataset.step = String(step);
        document.getElementById(last ? 'OverviewOpen' : 'OverviewNext').focus();
    },

    next() {
        if (overview.step < overview.COUNT)
            overview.show(overview.step + 1);
    },

    back() {
        if (overview.step > 1)
            overview.show(overview.step - 1);
    },

    close() {
        if (overview.closing)
            return;
        overview.closing = true;
        view.overview_close().catch((ex) => {
            overview.closing = false;
            process_error(ex);
        });
    },

    on_key(event) {
        if (event.key === 'Escape') {
            overview.close();
        } else if (event.key === 'ArrowRight') {
            overview.next();
        } else if (event.key === 'ArrowLeft') {
            overview.back();
        } else {
            return;
        }
        event.preventDefault();
    },
};

document.addEventListener('DOMContentLoaded', () => overview.ready().catch(process_error));
