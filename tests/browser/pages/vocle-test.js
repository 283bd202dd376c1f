// Helpers of the browser tests' pages.

// Resolves with the element once the plug-in has given it its members (the element's "load"
// event), or rejects with the reason when the plug-in could not start (its "error" event), also
// when either came before this was called.
window.vocleReady = function(element) {
  return new Promise((resolve, reject) => {
    if ('version' in element) {
      resolve(element);
      return;
    }
    const earlier = window.vocleErrors.find((e) => e.element === element);
    if (earlier) {
      reject(new Error(earlier.message));
      return;
    }
    const loaded = () => {
      element.removeEventListener('error', failed);
      resolve(element);
    };
    const failed = (event) => {
      element.removeEventListener('load', loaded);
      reject(new Error(event.message));
    };
    element.addEventListener('load', loaded, {once: true});
    element.addEventListener('error', failed, {once: true});
  });
};

// Every error event of a plug-in element, in order: {id, message}. Error events do not bubble,
// so the document listens in the capture phase.
window.vocleErrors = [];
document.addEventListener('error', (event) => {
  if (event.target && event.target.localName === 'object') {
    window.vocleErrors.push({id: event.target.id, message: event.message, element: event.target});
  }
}, true);

// A page Promise, settled: {resolved: value} or {rejected: message, isError}. A long string is
// given by its length ("N characters"), so that it need not travel back to the test.
window.vocleSettle = function(promise) {
  return promise.then(
      (value) => ({
        resolved: typeof value === 'string' && value.length > 1000 ? `${value.length} characters` :
                                                                     value
      }),
      (err) => ({rejected: err.message, isError: err instanceof Error}));
};
