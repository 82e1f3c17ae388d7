// Functions every document shares: placing the window, the header logo's alert, focus.
'use strict';

async function resize_page() {
    const area = await view.get_work_area();
    const width = document.documentElement.scrollWidth;
    const height = document.documentElement.scrollHeight;
    await view.set_window_rect(area.right - width, area.bottom - height, width, height);
}

async function resize() {
    const area = await view.get_work_area();
    resize_dialog(area);
}

async function resize_dialog(area) {
    const width = document.documentElement.scrollWidth;
    const height = document.documentElement.scrollHeight;
    const left = Math.round(area.left + (area.right - area.left - width) / 2);
    const top = Math.round(area.top + (area.bottom - area.top - height) / 2);
    await view.set_window_rect(left, top, width, height);
}

var alert_timer = null;

function start_alert_new_message() {
    const logo = document.querySelector('.header__logo');
    if (!logo || alert_timer !== null)
        return;
    alert_timer = setInterval(() => logo.classList.toggle('active'), 300);
}

function stop_alert_new_message() {
    if (alert_timer !== null)
        clearInterval(alert_timer);
    alert_timer = null;
    const logo = document.querySelector('.header__logo');
    if (logo)
        logo.classList.remove('active');
}

function on_unload_page() {
    return true;
}
