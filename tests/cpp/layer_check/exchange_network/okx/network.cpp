// Exchange code including Asio itself.
#include <boost/asio/post.hpp>
