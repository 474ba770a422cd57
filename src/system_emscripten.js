// The JavaScript half of system_emscripten.cpp, linked in by the build as
// an emscripten library: what only the JavaScript engine knows.

mergeInto(LibraryManager.library, {
    // Intl's formats, made once per zone name: making one costs more than
    // converting a block.
    $quarvelZoneFormats : {},

    // The offset east of UTC, in seconds, of the zone named `zone` (a C
    // string) at `seconds` since the epoch; the engine's own zone when the
    // name is empty. NaN when Intl does not know the zone.
    quarvelZoneOffset__deps : [ '$quarvelZoneFormats' ],
    quarvelZoneOffset__sig : 'ddi',
    quarvelZoneOffset : function(seconds, zone) {
        var name = UTF8ToString(zone);
        var date = new Date(seconds * 1000);
        var fields;
        if (name === '') {
            fields = [
                date.getFullYear(), date.getMonth(), date.getDate(), date.getHours(), date.getMinutes(),
                date.getSeconds()
            ];
        } else {
            var formats = quarvelZoneFormats.byName || (quarvelZoneFormats.byName = new Map());
            var format = formats.get(name);
            if (format === undefined) {
                try {
                    format = new Intl.DateTimeFormat('en-US', {
                        timeZone : name,
                        hourCycle : 'h23',
                        era : 'short',
                        year : 'numeric',
                        month : 'numeric',
                        day : 'numeric',
                        hour : 'numeric',
                        minute : 'numeric',
                        second : 'numeric'
                    });
                } catch (error) {
                    format = null;  // not a zone that Intl knows
                }
                formats.set(name, format);
            }
            if (format === null)
                return NaN;
            var parts = {};
            format.formatToParts(date).forEach(function(part) { parts[part.type] = part.value; });
            var year = Number(parts.year);
            fields = [
                parts.era === 'BC' ? 1 - year : year, Number(parts.month) - 1, Number(parts.day), Number(parts.hour),
                Number(parts.minute), Number(parts.second)
            ];
        }
        // Date.UTC would read the years 0 to 99 as 1900 to 1999.
        var local = new Date(0);
        local.setUTCFullYear(fields[0], fields[1], fields[2]);
        local.setUTCHours(fields[3], fields[4], fields[5], 0);
        return local.getTime() / 1000 - seconds;
    },

    // Hands the module's onFileOutcome, if it has one, the record of one
    // file's outcome (system_emscripten.cpp: noteOutcome): {index, end,
    // message, refusal, reason, cut: {read, declared} or null, said}, its
    // texts those of messages.h and what quarvel said of the file.
    quarvelOutcome__sig : 'viiiiiiddi',
    quarvelOutcome : function(index, end, message, refusal, reason, cutShort, samplesRead, samplesDeclared, said) {
        var listener = Module['onFileOutcome'];
        if (typeof listener !== 'function')
            return;
        listener({
            index : index,
            end : UTF8ToString(end),
            message : UTF8ToString(message),
            refusal : UTF8ToString(refusal),
            reason : UTF8ToString(reason),
            cut : cutShort ? {read : samplesRead, declared : samplesDeclared} : null,
            said : UTF8ToString(said)
        });
    },
});
