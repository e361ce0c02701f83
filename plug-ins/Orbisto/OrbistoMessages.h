#ifndef ORBISTOMESSAGES_H
#define ORBISTOMESSAGES_H

// Sentences the controller shows the user in more than one place.
namespace OrbistoMessages {

const char kNotDetected[] = "The Orbisto turntable was not detected.";

} // namespace OrbistoMessages

#endif // ORBISTOMESSAGES_H
