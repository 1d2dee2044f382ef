'use strict';
// 自动管理: the automatic-moderation rules, the warning ladder, and the inner
// tabs other scripts fill through registerExtra('自动管理', tab, build)
// (入群验证, 处罚记录). Each tab draws its own content, then extrasFor('自动管理/<tab>').

const automod = { tab: '规则' };

(() => {
  const PAGE = '自动管理';
  const TABS = ['规则', '警告阶梯', '入群验证', '处罚记录'];

  // Own content of a tab, drawn into `box` (async: it reads the service).
  const own = {
    规则: (box) => box.replaceChildren(),
    警告阶梯: (box) => box.replaceChildren(),
    入群验证: (box) => box.replaceChildren(),
    处罚记录: (box) => box.replaceChildren(),
  };
  automod.own = own;

  function drawTab(main, title) {
    const tabs = el('div', { class: 'tabs', role: 'tablist', 'aria-label': PAGE });
    const panel = el('div', { class: 'automod-panel', role: 'tabpanel', 'aria-label': automod.tab });
    const extra = el('div', { class: 'automod-extras' });
    for (const t of TABS) {
      tabs.append(el('button', {
        type: 'button', role: 'tab', text: t, 'aria-selected': String(t === automod.tab),
        onclick: () => { automod.tab = t; drawTab(main, title); },
      }));
    }
    const own = el('div', { class: 'automod-own' });
    extra.replaceChildren(...extrasFor(PAGE + '/' + automod.tab));
    panel.append(own, extra);
    main.replaceChildren(title, tabs, panel);
    automod.own[automod.tab](own);
    // A tab whose script is not part of this build says so instead of showing nothing.
    if (!extra.children.length && (automod.tab === '入群验证' || automod.tab === '处罚记录')) {
      extra.append(el('p', { class: 'placeholder', text: '这一页还不能在面板里设置。' }));
    }
  }

  registerPage(PAGE, (main, title) => drawTab(main, title));
})();
