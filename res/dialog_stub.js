'use strict';
document.addEventListener('DOMContentLoaded', async () => {
    const properties = await view.get_dialog_properties();
    if (properties && typeof properties === 'object') {
        document.getElementById('title').textContent = properties.title || '';
        document.getElementById('message').innerHTML = properties.message || '';
    }
    document.getElementById('ok').addEventListener('click', () => view.dialog_result(true));
    resize_dialog(await view.get_parent_window_properties());
});
